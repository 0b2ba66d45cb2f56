// Window procedure of class "plaxe": keeps window_state in step with the window, turns
// a close into close_requested, draws on WM_PAINT during the system's modal loops,
// sets the arrow over the client area and resets the idle count on pointer movement.
#pragma once

#include <windows.h>

// A leave notification has been asked for and the pointer has not left since.
extern bool mouse_tracked;

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// Whether the screen cursor lies in the client area window_state describes.
bool CursorInClientArea();
// Sets the arrow over the client area; true when it did.
bool SelectCursor();
