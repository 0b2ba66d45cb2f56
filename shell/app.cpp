// Start-up, main loop and shutdown.
#include "shell/app.h"

#include <windows.h>

#include <climits>

#include "shell/gl_window.h"
#include "support/log.h"
#include "support/settings.h"
#include "support/window_state.h"
#include "view/remap_view.h"

static void SetDefaultPlacement()
{
    window_state.window_width = DEFAULT_WIDTH;
    window_state.window_height = DEFAULT_HEIGHT;
    window_state.window_x = 0;
    window_state.window_y = 0;
}

static LONG AddClamped(LONG a, LONG b)
{
    const long long sum = static_cast<long long>(a) + b;
    return sum > LONG_MAX ? LONG_MAX : sum < LONG_MIN ? LONG_MIN : static_cast<LONG>(sum);
}

void ChooseStartPlacement()
{
    if (window_state.window_maximized) {
        SetDefaultPlacement();  // a maximized start restores to the defaults
        return;
    }
    // A client area must exist and fit the largest window the system allows.
    if (window_state.window_width < 1 || window_state.window_height < 1 ||
        window_state.window_width > GetSystemMetrics(SM_CXMAXTRACK) ||
        window_state.window_height > GetSystemMetrics(SM_CYMAXTRACK)) {
        window_state.window_width = DEFAULT_WIDTH;
        window_state.window_height = DEFAULT_HEIGHT;
    }
    const SIZE outer = OuterSizeForClient(window_state.window_width, window_state.window_height);
    const RECT rect = {window_state.window_x, window_state.window_y,
                       AddClamped(window_state.window_x, outer.cx),
                       AddClamped(window_state.window_y, outer.cy)};
    if (!MonitorFromRect(&rect, MONITOR_DEFAULTTONULL)) {
        window_state.window_x = 0;
        window_state.window_y = 0;
    }
}

bool RunLoopPass(int* quit_code, bool* quit)
{
    if (window_state.idle_count < INT_MAX)
        window_state.idle_count += 1;
    Sleep(window_state.idle_count > IDLE_THRESHOLD ? IDLE_SLEEP_MS : 0);

    // Empty the queue first: peek without removing, translate, take it, dispatch.
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE)) {
        TranslateMessage(&message);
        if (!GetMessageA(&message, nullptr, 0, 0)) {
            *quit = true;
            *quit_code = static_cast<int>(message.wParam);
            break;
        }
        DispatchMessageA(&message);
    }
    if (window_state.close_requested)
        return false;  // no frame for the pass that sees the close
    PresentFrame();
    window_state.paint_count = 0;
    return !*quit;
}

RECT WorkspaceToScreen(const RECT& rect, const RECT& work_area, const RECT& monitor)
{
    const LONG dx = work_area.left - monitor.left;
    const LONG dy = work_area.top - monitor.top;
    return RECT{rect.left + dx, rect.top + dy, rect.right + dx, rect.bottom + dy};
}

void RecordExitPlacement()
{
    if (!IsIconic(window_handles.window)) {
        window_state.window_maximized = IsZoomed(window_handles.window) ? 1 : 0;
        return;
    }
    // NOTE: minimized, WM_MOVE and WM_SIZE have stored a far-off 0 x 1 window; the
    // placement Windows keeps for restoring is the one to store.
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof placement;
    if (!GetWindowPlacement(window_handles.window, &placement))
        return;
    // NOTE: rcNormalPosition is in workspace coordinates, which start at the work
    // area's corner: a taskbar at the top or left shifts them from screen coordinates.
    RECT normal = placement.rcNormalPosition;
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    if (GetMonitorInfoA(MonitorFromRect(&normal, MONITOR_DEFAULTTONEAREST), &monitor))
        normal = WorkspaceToScreen(normal, monitor.rcWork, monitor.rcMonitor);
    const SIZE frame = OuterSizeForClient(0, 0);
    window_state.window_x = normal.left;
    window_state.window_y = normal.top;
    window_state.window_width = normal.right - normal.left - frame.cx;
    window_state.window_height = normal.bottom - normal.top - frame.cy;
    window_state.window_maximized = (placement.flags & WPF_RESTORETOMAXIMIZED) ? 1 : 0;
}

int RunProgram()
{
    SetDefaultPlacement();
    window_state.window_maximized = 1;
    StartupPaths();
    ChooseStartPlacement();

    LogMessage("CreateGLWindow()");
    if (!CreateGLWindow("texwarp", window_state.window_width, window_state.window_height, 32))
        return 0;
    window_handles.arrow_cursor = LoadCursorA(nullptr, IDC_ARROW);
    LogMessage("plxInit()");
    plxInit();
    LogMessage("enter message loop ------------ USAGE START");

    int quit_code = 0;
    bool quit = false;
    while (RunLoopPass(&quit_code, &quit)) {
    }

    LogMessage("leave message loop ------------ USAGE END");
    RecordExitPlacement();
    WriteConfig(ProgramPath("config.txt"));
    DestroyGLWindow();
    LogMessage("end of WinMain() -> exit program");
    return quit ? quit_code : 0;
}
