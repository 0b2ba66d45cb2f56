// An OpenGL context with nothing on screen, current on the calling thread, for the
// tests and benchmarks of the viewer's drawing: EGL on Linux (Mesa's surfaceless
// platform, then the EGL device platform of vendor drivers, then the default display),
// a never-shown window's WGL context on Windows. Its default framebuffer is width x height pixels of RGBA8.
#pragma once

#include <string>

// False, with what was tried and why it failed in *error, when there is no usable GL.
bool CreateOffscreenGL(int width, int height, std::string* error);
void DestroyOffscreenGL();

using GLProc = void (*)();
// An entry point beyond OpenGL 1.1; null when the driver lacks it.
GLProc OffscreenGLProc(const char* name);
