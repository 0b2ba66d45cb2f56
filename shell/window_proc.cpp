// Window procedure and cursor.
#include "shell/window_proc.h"

#include <cstdint>

#include "shell/gl_window.h"
#include "support/window_state.h"

bool mouse_tracked = false;

// Client origin to outer corner: the position CreateGLWindow and the settings use.
static void StoreWindowPosition(LPARAM lparam)
{
    // NOTE: the coordinates are signed 16-bit: a window off the left or top edge is negative.
    const int client_x = static_cast<short>(LOWORD(lparam));
    const int client_y = static_cast<short>(HIWORD(lparam));
    const POINT offset = ClientOffset();
    window_state.window_x = client_x - offset.x;
    window_state.window_y = client_y - offset.y;
}

static void StoreClientSize(LPARAM lparam)
{
    window_state.window_width = LOWORD(lparam);
    window_state.window_height = HIWORD(lparam);
    ResizeViewport(LOWORD(lparam), HIWORD(lparam));
}

// Asks for one WM_MOUSELEAVE, then counts the pointer as moving.
static void TrackPointer()
{
    if (!mouse_tracked) {
        mouse_tracked = true;
        TRACKMOUSEEVENT track = {};
        track.cbSize = sizeof(TRACKMOUSEEVENT);
        track.dwFlags = TME_LEAVE;
        track.hwndTrack = window_handles.window;
        track.dwHoverTime = HOVER_DEFAULT;
        TrackMouseEvent(&track);
    }
    window_state.idle_count = 0;
}

static void RequestRepaint(HWND window)
{
    RECT client;
    GetClientRect(window_handles.window, &client);
    InvalidateRect(window, &client, FALSE);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_MOVE:
        StoreWindowPosition(lparam);
        return 0;
    case WM_SIZE:
        StoreClientSize(lparam);
        return 0;
    case WM_ACTIVATE:
        return 0;
    case WM_PAINT:
        // The main loop draws; only a modal move or size loop lets paints pile up.
        window_state.paint_count += 1;
        if (window_state.paint_count > 2)
            PresentFrame();
        break;
    case WM_CLOSE:
        window_state.close_requested = true;  // WinMain destroys the window at shutdown
        return 0;
    case WM_SETCURSOR:
        if (SelectCursor())
            return 0;
        break;
    case WM_CHAR:
    case WM_SYSKEYDOWN:  // NOTE: answering it here leaves Alt+F4 without effect
        return 0;
    case WM_TIMER:
        RequestRepaint(window);
        return 0;
    case WM_MOUSEMOVE:
        TrackPointer();
        return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
    case WM_MOUSEWHEEL:
        return 0;
    case WM_MOUSELEAVE:
        mouse_tracked = false;
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

bool CursorInClientArea()
{
    POINT cursor;
    GetCursorPos(&cursor);
    // In 64 bits: the stored placement may hold any 32-bit values.
    const POINT offset = ClientOffset();
    const int64_t left = int64_t(window_state.window_x) + offset.x;
    const int64_t top = int64_t(window_state.window_y) + offset.y;
    return cursor.x >= left && cursor.x < left + window_state.window_width && cursor.y >= top &&
           cursor.y < top + window_state.window_height;
}

bool SelectCursor()
{
    if (!mouse_tracked || !CursorInClientArea())
        return false;
    SetCursor(window_handles.arrow_cursor);
    return true;
}
