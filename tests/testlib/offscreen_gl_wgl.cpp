// Offscreen GL on Windows: a window that is never shown, with a WGL context.
#include "testlib/offscreen_gl.h"

#include <windows.h>

static HWND window;
static HDC dc;
static HGLRC context;
static const char CLASS_NAME[] = "texwarp-offscreen";

bool CreateOffscreenGL(int width, int height)
{
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA window_class = {};
    window_class.style = CS_OWNDC;
    window_class.lpfnWndProc = DefWindowProcA;
    window_class.hInstance = instance;
    window_class.lpszClassName = CLASS_NAME;
    RegisterClassA(&window_class);
    RECT rect = {0, 0, width, height};
    AdjustWindowRectEx(&rect, WS_OVERLAPPEDWINDOW, FALSE, 0);
    window = CreateWindowExA(0, CLASS_NAME, "texwarp offscreen", WS_OVERLAPPEDWINDOW | WS_CLIPSIBLINGS, 0, 0,
                             rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr, instance, nullptr);
    dc = window ? GetDC(window) : nullptr;
    PIXELFORMATDESCRIPTOR pfd = {};
    pfd.nSize = sizeof pfd;
    pfd.nVersion = 1;
    pfd.dwFlags = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER;
    pfd.iPixelType = PFD_TYPE_RGBA;
    pfd.cColorBits = 32;   // RGBA8
    pfd.cAlphaBits = 8;
    pfd.cDepthBits = 16;
    pfd.cStencilBits = 8;
    const int format = dc ? ChoosePixelFormat(dc, &pfd) : 0;
    context = format && SetPixelFormat(dc, format, &pfd) ? wglCreateContext(dc) : nullptr;
    if (context && wglMakeCurrent(dc, context))
        return true;
    DestroyOffscreenGL();
    return false;
}

void DestroyOffscreenGL()
{
    if (context) {
        wglMakeCurrent(nullptr, nullptr);
        wglDeleteContext(context);
        context = nullptr;
    }
    if (dc) {
        ReleaseDC(window, dc);
        dc = nullptr;
    }
    if (window) {
        DestroyWindow(window);
        window = nullptr;
    }
    UnregisterClassA(CLASS_NAME, GetModuleHandleA(nullptr));
}
