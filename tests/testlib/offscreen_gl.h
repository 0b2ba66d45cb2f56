// An OpenGL context with nothing on screen, current on the calling thread, for the
// tests and benchmarks of the viewer's drawing: Mesa's surfaceless EGL platform on
// Linux, a never-shown window's WGL context on Windows. Its default framebuffer is
// width x height pixels of RGBA8.
#pragma once

// False when there is no usable GL.
bool CreateOffscreenGL(int width, int height);
void DestroyOffscreenGL();
