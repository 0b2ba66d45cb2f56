// A small Windows program the end-to-end test uses to look at and drive a running
// texwarp window from outside, as another program on the desktop would.
//   window_helper state | close | minimize | quit CODE
//   state prints: zoomed Z iconic I outer LEFT TOP RIGHT BOTTOM client X Y WIDTH HEIGHT
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    const char* command = argc > 1 ? argv[1] : "";
    const HWND window = FindWindowA("plaxe", "texwarp");
    RECT outer, client;
    POINT origin = {0, 0};
    if (!window) {
        std::fprintf(stderr, "window_helper: no texwarp window\n");
        return 1;
    } else if (std::strcmp(command, "state") == 0 && GetWindowRect(window, &outer) && GetClientRect(window, &client) &&
               ClientToScreen(window, &origin)) {
        std::printf("zoomed %d iconic %d outer %ld %ld %ld %ld client %ld %ld %ld %ld\n", IsZoomed(window) ? 1 : 0,
                    IsIconic(window) ? 1 : 0, outer.left, outer.top, outer.right, outer.bottom, origin.x, origin.y,
                    client.right, client.bottom);
    } else if (std::strcmp(command, "close") == 0) {
        PostMessageA(window, WM_CLOSE, 0, 0);
    } else if (std::strcmp(command, "minimize") == 0) {
        ShowWindow(window, SW_MINIMIZE);
    } else if (std::strcmp(command, "quit") == 0 && argc > 2) {
        PostThreadMessageA(GetWindowThreadProcessId(window, nullptr), WM_QUIT, WPARAM(std::atoi(argv[2])), 0);
    } else {
        std::fprintf(stderr, "usage: window_helper state | close | minimize | quit CODE\n");
        return 2;
    }
    std::fflush(stdout);
    return 0;
}
