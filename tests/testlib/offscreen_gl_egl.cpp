// Offscreen GL on Linux through EGL, with no X or Wayland server.
#include "testlib/offscreen_gl.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>

#include <cstdio>
#include <vector>

#include "assets/gl_api.h"

static EGLDisplay display = EGL_NO_DISPLAY;
static EGLContext context = EGL_NO_CONTEXT;
static EGLSurface surface = EGL_NO_SURFACE;

static bool HasClientExtension(const char* name)
{
    return HasExtension(eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS), name);
}

static std::string ErrorText(const char* what)
{
    char text[96];
    std::snprintf(text, sizeof text, "%s (EGL error 0x%x)", what, static_cast<unsigned>(eglGetError()));
    return text;
}

// Makes a compatibility context current on an initialised display; why not when it fails.
static bool StartContext(EGLDisplay candidate, int width, int height, std::string* why)
{
    if (!eglInitialize(candidate, nullptr, nullptr)) {
        *why = ErrorText("cannot initialise");
        return false;
    }
    display = candidate;
    // A compatibility context: the program draws in immediate mode.
    if (!eglBindAPI(EGL_OPENGL_API)) {
        *why = "no desktop OpenGL";
        return false;
    }
    const EGLint config_attributes[] = {EGL_SURFACE_TYPE,  EGL_PBUFFER_BIT, EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT,
                                        EGL_RED_SIZE,      8,               EGL_GREEN_SIZE,      8,
                                        EGL_BLUE_SIZE,     8,               EGL_ALPHA_SIZE,      8,
                                        EGL_DEPTH_SIZE,    16,              EGL_STENCIL_SIZE,    8,
                                        EGL_NONE};
    EGLConfig config;
    EGLint count = 0;
    if (!eglChooseConfig(display, config_attributes, &config, 1, &count) || count < 1) {
        *why = "no RGBA8 pbuffer configuration";
        return false;
    }
    const EGLint surface_attributes[] = {EGL_WIDTH, width, EGL_HEIGHT, height, EGL_NONE};
    surface = eglCreatePbufferSurface(display, config, surface_attributes);
    context = eglCreateContext(display, config, EGL_NO_CONTEXT, nullptr);
    if (surface == EGL_NO_SURFACE || context == EGL_NO_CONTEXT ||
        !eglMakeCurrent(display, surface, surface, context)) {
        *why = ErrorText("no context");
        return false;
    }
    return true;
}

static EGLDisplay PlatformDisplay(EGLenum platform, void* native)
{
    const auto get_platform_display =
        reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
    return get_platform_display ? get_platform_display(platform, native, nullptr) : EGL_NO_DISPLAY;
}

// The EGL devices of the vendor drivers, in the order EGL lists them.
static std::vector<EGLDeviceEXT> Devices()
{
    const auto query_devices =
        reinterpret_cast<PFNEGLQUERYDEVICESEXTPROC>(eglGetProcAddress("eglQueryDevicesEXT"));
    EGLint count = 0;
    if (!query_devices || !query_devices(0, nullptr, &count) || count <= 0)
        return {};
    std::vector<EGLDeviceEXT> devices(static_cast<size_t>(count));
    if (!query_devices(count, devices.data(), &count))
        return {};
    devices.resize(static_cast<size_t>(count));
    return devices;
}

bool CreateOffscreenGL(int width, int height, std::string* error)
{
    std::string tried;
    const auto attempt = [&](const char* name, EGLDisplay candidate, const char* missing) {
        std::string why = missing ? missing : "";
        if (!missing && candidate == EGL_NO_DISPLAY)
            why = ErrorText("no display");
        if (!missing && candidate != EGL_NO_DISPLAY && StartContext(candidate, width, height, &why))
            return true;
        DestroyOffscreenGL();
        tried += (tried.empty() ? "" : "; ") + std::string(name) + ": " + why;
        return false;
    };
    const bool surfaceless = HasClientExtension("EGL_MESA_platform_surfaceless");
    if (attempt("EGL surfaceless (Mesa)",
                surfaceless ? PlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY) : EGL_NO_DISPLAY,
                surfaceless ? nullptr : "not offered"))
        return true;
    const std::vector<EGLDeviceEXT> devices =
        HasClientExtension("EGL_EXT_platform_device") ? Devices() : std::vector<EGLDeviceEXT>{};
    if (devices.empty())
        attempt("EGL device", EGL_NO_DISPLAY, "no device");
    for (EGLDeviceEXT device : devices) {
        if (attempt("EGL device", PlatformDisplay(EGL_PLATFORM_DEVICE_EXT, device), nullptr))
            return true;
    }
    if (attempt("EGL default display", eglGetDisplay(EGL_DEFAULT_DISPLAY), nullptr))
        return true;
    if (error)
        *error = "no usable OpenGL; tried " + tried;
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

GLProc OffscreenGLProc(const char* name)
{
    return eglGetProcAddress(name);
}
