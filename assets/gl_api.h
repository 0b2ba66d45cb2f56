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

#include <cstring>

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

// Whether `name` is one of the space-separated words of `list` (a GL or EGL extension
// string); a name that is only the start of a longer word does not count.
inline bool HasExtension(const char* list, const char* name)
{
    const size_t length = std::strlen(name);
    for (const char* p = list; p && (p = std::strstr(p, name)) != nullptr; p += length) {
        if ((p == list || p[-1] == ' ') && (p[length] == ' ' || p[length] == '\0'))
            return true;
    }
    return false;
}
