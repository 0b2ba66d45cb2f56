// Window and GL context on Win32 and WGL.
#include "shell/gl_window.h"

#include "assets/gl_api.h"

#include "shell/window_proc.h"
#include "support/log.h"
#include "support/window_state.h"
#include "view/remap_view.h"

WindowHandles window_handles;

static const char CLASS_NAME[] = "plaxe";
constexpr DWORD EX_STYLE = WS_EX_APPWINDOW | WS_EX_WINDOWEDGE;
constexpr DWORD STYLE = WS_OVERLAPPEDWINDOW | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;

SIZE OuterSizeForClient(int width, int height)
{
    RECT rect = {0, 0, width, height};
    AdjustWindowRectEx(&rect, WS_OVERLAPPEDWINDOW, FALSE, EX_STYLE);
    return SIZE{rect.right - rect.left, rect.bottom - rect.top};
}

POINT ClientOffset()
{
    RECT rect = {0, 0, 0, 0};
    AdjustWindowRectEx(&rect, WS_OVERLAPPEDWINDOW, FALSE, EX_STYLE);
    return POINT{-rect.left, -rect.top};
}

static void RegisterWindowClass()
{
    WNDCLASSA window_class = {};
    window_class.style = CS_VREDRAW | CS_HREDRAW | CS_OWNDC;  // no CS_DBLCLKS
    window_class.lpfnWndProc = MainWindowProc;
    window_class.hInstance = window_handles.instance;
    // NOTE: a bare name, so the icon comes from the current directory; missing is fine.
    window_class.hIcon = static_cast<HICON>(
        LoadImageA(nullptr, "icon-16.ico", IMAGE_ICON, 16, 16, LR_LOADFROMFILE));
    window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    window_class.lpszClassName = CLASS_NAME;
    LogMessage("CreateGLWindow: register class");
    RegisterClassA(&window_class);  // a failure shows up when the window is created
}

// Tears down what was made, tells the user and reports the failure.
static bool FailCreation(const char* log_line, const char* message)
{
    if (log_line)
        LogMessage("%s", log_line);
    DestroyGLWindow();
    MessageBoxA(nullptr, message, "ERROR", MB_OK | MB_ICONEXCLAMATION);
    return false;
}

static PIXELFORMATDESCRIPTOR PixelFormatRequest(int bits)
{
    PIXELFORMATDESCRIPTOR request = {};
    request.nSize = sizeof(PIXELFORMATDESCRIPTOR);  // 40
    request.nVersion = 1;
    request.dwFlags = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER;
    request.iPixelType = PFD_TYPE_RGBA;
    request.cColorBits = static_cast<BYTE>(bits);  // colour depth asked for
    request.cDepthBits = 16;                        // 16-bit depth buffer
    // Everything else 0: no alpha, accumulation, stencil or auxiliary buffers,
    // main plane, all masks 0.
    return request;
}

// Pixel format and context; false (after FailCreation) when the window cannot draw.
static bool MakeGLContext(int bits)
{
    const PIXELFORMATDESCRIPTOR request = PixelFormatRequest(bits);
    LogMessage("CreateGLWindow: dc stuff");
    window_handles.dc = GetDC(window_handles.window);
    if (!window_handles.dc)
        return FailCreation("#### CreateGLWindow: failed to get DC", "Could not get a device context");
    const int format = ChoosePixelFormat(window_handles.dc, &request);
    if (format == 0)
        return FailCreation("#### CreateGLWindow: failed to choose pixel format",
                            "Could not find an OpenGL pixel format");
    if (!SetPixelFormat(window_handles.dc, format, &request))
        return FailCreation("#### CreateGLWindow: failed to set pixel format",
                            "Could not set the OpenGL pixel format");
    window_handles.gl_context = wglCreateContext(window_handles.dc);
    if (!window_handles.gl_context)
        return FailCreation("#### CreateGLWindow: failed to create GL context",
                            "Could not create an OpenGL context");
    if (!wglMakeCurrent(window_handles.dc, window_handles.gl_context))
        return FailCreation("#### CreateGLWindow: failed to make GL context current",
                            "Could not make the OpenGL context current");
    return true;
}

bool CreateGLWindow(const char* title, int width, int height, int bits)
{
    LogMessage("CreateGLWindow: start");
    window_handles.instance = GetModuleHandleA(nullptr);
    RegisterWindowClass();
    LogMessage("CreateGLWindow: adjustwindowrect");
    const SIZE outer = OuterSizeForClient(width, height);

    LogMessage("CreateGLWindow: create window");
    LogMessage("title=\"%s\"", title);
    LogMessage("plaxe_winx=%i", window_state.window_x);
    LogMessage("plaxe_winy=%i", window_state.window_y);
    LogMessage("width=%i", width);
    LogMessage("height=%i", height);
    // The stored position is the outer window's corner; only the size is adjusted.
    window_handles.window = CreateWindowExA(EX_STYLE, CLASS_NAME, title, STYLE, window_state.window_x,
                                            window_state.window_y, outer.cx, outer.cy, nullptr,
                                            nullptr, window_handles.instance, nullptr);
    if (!window_handles.window)
        return FailCreation(nullptr, "Could not create window");
    if (!MakeGLContext(bits))
        return false;

    ShowWindow(window_handles.window, SW_SHOW);
    SetForegroundWindow(window_handles.window);
    SetFocus(window_handles.window);
    ResizeViewport(width, height);
    if (window_state.window_maximized)
        ShowWindow(window_handles.window, SW_SHOWMAXIMIZED);  // WM_SIZE follows the new size
    LogMessage("CreateGLWindow: init gl");
    InitGLState();
    LogMessage("CreateGLWindow: done");
    return true;
}

void ResizeViewport(int width, int height)
{
    if (height == 0)
        height = 1;
    if (width != -1 && height != -1) {
        window_state.window_width = width;
        window_state.window_height = height;
    }
    glViewport(0, 0, window_state.window_width, window_state.window_height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    // y grows downwards; near 1 and far -1, in that order.
    glOrtho(0, window_state.window_width, window_state.window_height, 0, 1.0, -1.0);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
}

void InitGLState()
{
    glEnable(GL_TEXTURE_2D);
    glShadeModel(GL_SMOOTH);
    glClearColor(0.5f, 0.5f, 0.5f, 0.0f);
    glClearDepth(1.0);
    glDepthMask(GL_FALSE);
    glDisable(GL_DEPTH_TEST);
    glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
    glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    glDisable(GL_CULL_FACE);
    // No waiting for the vertical retrace where the driver lets us choose; the get
    // function only shows that the extension is complete.
    using SwapIntervalProc = BOOL(WINAPI*)(int);
    const auto swap_interval = reinterpret_cast<SwapIntervalProc>(
        reinterpret_cast<void (*)()>(wglGetProcAddress("wglSwapIntervalEXT")));
    const PROC get_swap_interval = wglGetProcAddress("wglGetSwapIntervalEXT");
    if (swap_interval && get_swap_interval)
        swap_interval(0);
}

void DestroyGLWindow()
{
    if (window_handles.gl_context) {
        LogMessage("delete OpenGL context");
        wglMakeCurrent(nullptr, nullptr);
        wglDeleteContext(window_handles.gl_context);
        window_handles.gl_context = nullptr;
    }
    if (window_handles.dc) {
        LogMessage("release DC");
        ReleaseDC(window_handles.window, window_handles.dc);
        window_handles.dc = nullptr;
    }
    if (window_handles.window) {
        LogMessage("destroy main window");
        DestroyWindow(window_handles.window);
        window_handles.window = nullptr;
    }
    LogMessage("unregister main class");
    UnregisterClassA(CLASS_NAME, window_handles.instance);
}

void PresentFrame()
{
    glDisable(GL_SCISSOR_TEST);
    glDisable(GL_BLEND);
    glColor4f(1, 1, 1, 1);
    glLoadIdentity();  // the model-view matrix: ResizeViewport and the view leave it current
    DrawRemapView();
    Sleep(10);
    glFlush();
    SwapBuffers(window_handles.dc);
}
