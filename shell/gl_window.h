// Window and GL context: creates the one window of class "plaxe" with a double-buffered
// OpenGL context that stays current for the whole run, keeps viewport and projection
// in step with the client size, presents frames, and tears everything down.
#pragma once

#include <windows.h>

struct WindowHandles {
    HINSTANCE instance;    // this module, from GetModuleHandleA
    HWND window;           // the main window
    HDC dc;                // its private device context (CS_OWNDC), kept for the run
    HGLRC gl_context;      // the one rendering context
    HCURSOR arrow_cursor;  // IDC_ARROW, set over the client area
};

extern WindowHandles window_handles;

// Client size width x height at window_state's position; false (after showing an
// "ERROR" box and tearing down) when no window that can draw could be made.
bool CreateGLWindow(const char* title, int width, int height, int bits);
// Stores a new client size (unless either is -1) and rebuilds viewport and projection.
void ResizeViewport(int width, int height);
void InitGLState();
void DestroyGLWindow();
// Draws one frame through the remap view and shows it.
void PresentFrame();

// The outer window's size for a client area of width x height.
SIZE OuterSizeForClient(int width, int height);
// Where the client area starts inside the outer window. Derived as creation derives
// the outer size, so that a stored position comes back exactly at the next start.
POINT ClientOffset();
