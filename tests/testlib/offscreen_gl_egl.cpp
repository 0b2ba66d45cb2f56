// Offscreen GL on Linux through Mesa's surfaceless EGL platform: no X or Wayland server.
#include "testlib/offscreen_gl.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>

static EGLDisplay display = EGL_NO_DISPLAY;
static EGLContext context = EGL_NO_CONTEXT;
static EGLSurface surface = EGL_NO_SURFACE;

bool CreateOffscreenGL(int width, int height)
{
    const auto get_platform_display =
        reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
    const EGLDisplay candidate = get_platform_display
                                     ? get_platform_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr)
                                     : EGL_NO_DISPLAY;
    // A compatibility context: the viewer draws in immediate mode.
    if (candidate == EGL_NO_DISPLAY || !eglInitialize(candidate, nullptr, nullptr) || !eglBindAPI(EGL_OPENGL_API))
        return false;
    display = candidate;
    const EGLint config_attributes[] = {EGL_SURFACE_TYPE,  EGL_PBUFFER_BIT, EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT,
                                        EGL_RED_SIZE,      8,               EGL_GREEN_SIZE,      8,
                                        EGL_BLUE_SIZE,     8,               EGL_ALPHA_SIZE,      8,
                                        EGL_DEPTH_SIZE,    16,              EGL_STENCIL_SIZE,    8,
                                        EGL_NONE};
    EGLConfig config;
    EGLint count = 0;
    const EGLint surface_attributes[] = {EGL_WIDTH, width, EGL_HEIGHT, height, EGL_NONE};
    if (eglChooseConfig(display, config_attributes, &config, 1, &count) && count == 1) {
        surface = eglCreatePbufferSurface(display, config, surface_attributes);
        context = eglCreateContext(display, config, EGL_NO_CONTEXT, nullptr);
        if (surface != EGL_NO_SURFACE && context != EGL_NO_CONTEXT && eglMakeCurrent(display, surface, surface, context))
            return true;
    }
    DestroyOffscreenGL();
    return false;
}

void DestroyOffscreenGL()
{
    if (display == EGL_NO_DISPLAY)
        return;
    eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    if (context != EGL_NO_CONTEXT)
        eglDestroyContext(display, context);
    if (surface != EGL_NO_SURFACE)
        eglDestroySurface(display, surface);
    // NOTE: the display stays initialised for the process: Mesa's llvmpipe leaves two
    // small blocks behind each eglInitialize that eglTerminate does not free.
    display = EGL_NO_DISPLAY;
    context = EGL_NO_CONTEXT;
    surface = EGL_NO_SURFACE;
}
