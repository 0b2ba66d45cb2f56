// A small Windows program the end-to-end test uses to look at and drive a running
// texwarp window from outside, as another program on the desktop would.
//   window_helper wait SECONDS | client | state | close | quit CODE | minimize | restore
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static HWND FindViewer()
{
    return FindWindowA("plaxe", "texwarp");
}

static int Usage()
{
    std::fprintf(stderr, "usage: window_helper wait SECONDS | client | state | close | quit CODE | "
                         "minimize | restore\n");
    return 2;
}

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    const char* command = argv[1];
    if (std::strcmp(command, "wait") == 0) {
        const int tenths = (argc > 2 ? std::atoi(argv[2]) : 30) * 10;
        for (int i = 0; i < tenths && !FindViewer(); ++i)
            Sleep(100);
        return FindViewer() ? 0 : 1;
    }
    const HWND window = FindViewer();
    if (!window) {
        std::fprintf(stderr, "window_helper: no texwarp window\n");
        return 1;
    }
    if (std::strcmp(command, "client") == 0) {
        RECT client;
        GetClientRect(window, &client);
        POINT origin = {0, 0};
        ClientToScreen(window, &origin);
        std::printf("%ld %ld %ld %ld\n", origin.x, origin.y, client.right, client.bottom);
    } else if (std::strcmp(command, "state") == 0) {
        RECT outer;
        GetWindowRect(window, &outer);
        std::printf("zoomed %d iconic %d outer %ld %ld %ld %ld\n", IsZoomed(window) ? 1 : 0,
                    IsIconic(window) ? 1 : 0, outer.left, outer.top, outer.right, outer.bottom);
    } else if (std::strcmp(command, "close") == 0) {
        PostMessageA(window, WM_CLOSE, 0, 0);
    } else if (std::strcmp(command, "quit") == 0 && argc > 2) {
        const DWORD thread = GetWindowThreadProcessId(window, nullptr);
        PostThreadMessageA(thread, WM_QUIT, static_cast<WPARAM>(std::atoi(argv[2])), 0);
    } else if (std::strcmp(command, "minimize") == 0) {
        ShowWindow(window, SW_MINIMIZE);
    } else if (std::strcmp(command, "restore") == 0) {
        ShowWindow(window, SW_RESTORE);
    } else {
        return Usage();
    }
    std::fflush(stdout);
    return 0;
}
