// The OpenGL 1.1 and GLU headers for the portable code, included alike on every
// platform. NOTE: Windows' gl.h expects <windows.h> to have defined its calling
// convention and import macros; they are supplied here instead, so that portable
// code never pulls in <windows.h>, and removed again afterwards.
#pragma once

#if defined(_WIN32) && !defined(APIENTRY)
#define APIENTRY __stdcall
#define TEXWARP_UNDEF_APIENTRY
#endif
#if defined(_WIN32) && !defined(WINGDIAPI)
#define WINGDIAPI __declspec(dllimport)
#define TEXWARP_UNDEF_WINGDIAPI
#endif
#if defined(_WIN32) && !defined(CALLBACK)
#define CALLBACK __stdcall
#define TEXWARP_UNDEF_CALLBACK
#endif

#include <GL/gl.h>
#include <GL/glu.h>

#ifdef TEXWARP_UNDEF_APIENTRY
#undef APIENTRY
#undef TEXWARP_UNDEF_APIENTRY
#endif
#ifdef TEXWARP_UNDEF_WINGDIAPI
#undef WINGDIAPI
#undef TEXWARP_UNDEF_WINGDIAPI
#endif
#ifdef TEXWARP_UNDEF_CALLBACK
#undef CALLBACK
#undef TEXWARP_UNDEF_CALLBACK
#endif
