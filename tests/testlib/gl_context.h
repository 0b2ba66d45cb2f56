// A current OpenGL context of a given pixel size with no visible window, for tests
// that draw and read the pixels back: EGL surfaceless on Linux, a hidden WGL window
// on Windows.
#pragma once

bool CreateTestGLContext(int width, int height);
void DestroyTestGLContext();
