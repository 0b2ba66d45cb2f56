// Texture object: GL upload with mipmaps, and the PNG load that feeds it.
#include "assets/texture.h"

#include <cstdlib>
#include <cstring>

#include "assets/gl_api.h"
#include "assets/png_decode.h"
#include "support/log.h"

Texture remap_texture;

// Whether `name` is one of the space-separated words of the GL extension string `list`;
// a name that is only the start of a longer word does not count.
static bool HasExtension(const char* list, const char* name)
{
    const size_t length = std::strlen(name);
    for (const char* p = list; p && (p = std::strstr(p, name)) != nullptr; p += length) {
        if ((p == list || p[-1] == ' ') && (p[length] == ' ' || p[length] == '\0'))
            return true;
    }
    return false;
}

// Not in the OpenGL 1.1 headers Windows has.
constexpr GLenum CLAMP_TO_EDGE = 0x812F;
constexpr GLenum GENERATE_MIPMAP = 0x8191;  // OpenGL 1.4

Texture::Texture() : name(-1), width(0), height(0) {}

Texture::~Texture()
{
    // By the time the program-wide texture goes, its context is gone and this does nothing.
    GLuint gl_name = static_cast<GLuint>(name);
    glDeleteTextures(1, &gl_name);
}

int32_t Texture::GetName() const
{
    return name;
}

static void SetParameter(GLenum parameter, GLenum value)
{
    glTexParameterf(GL_TEXTURE_2D, parameter, static_cast<GLfloat>(value));
}

static void SetFilterAndWrap(int flags)
{
    glTexEnvf(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, static_cast<GLfloat>(GL_MODULATE));
    SetParameter(GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
    SetParameter(GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    if (flags & TEX_LINEAR) {
        SetParameter(GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        SetParameter(GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    }
    if (flags & TEX_NEAREST) {
        SetParameter(GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        SetParameter(GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    }
    SetParameter(GL_TEXTURE_WRAP_S, GL_REPEAT);
    SetParameter(GL_TEXTURE_WRAP_T, GL_REPEAT);
    if (flags & TEX_CLAMP) {
        SetParameter(GL_TEXTURE_WRAP_S, CLAMP_TO_EDGE);
        SetParameter(GL_TEXTURE_WRAP_T, CLAMP_TO_EDGE);
    }
}

static bool IsPowerOfTwo(int32_t n)
{
    return n > 0 && (n & (n - 1)) == 0;
}

// Whether the current GL context takes textures whose sides are not powers of two.
static bool TakesAnyTextureSize()
{
    const char* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    if (version && std::atoi(version) >= 2)
        return true;
    const char* extensions = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
    return HasExtension(extensions, "GL_ARB_texture_non_power_of_two");
}

// Whether the flags' minification filter samples the smaller levels.
static bool UsesMipmaps(int flags)
{
    return !(flags & (TEX_LINEAR | TEX_NEAREST));
}

// Level 0 is the image itself; GL builds the smaller levels from it where the filter
// samples them. GL's error when the image does not fit.
static GLenum UploadAtOwnSize(const uint32_t* pixels, int32_t width, int32_t height, int flags)
{
    GLint largest = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &largest);
    if (width > largest || height > largest)
        return GL_INVALID_VALUE;
    while (glGetError() != GL_NO_ERROR) {
    }
    glTexParameteri(GL_TEXTURE_2D, GENERATE_MIPMAP, UsesMipmaps(flags) ? GL_TRUE : GL_FALSE);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
    return glGetError();
}

bool Texture::Upload(const uint32_t* pixels, int32_t image_width, int32_t image_height, int flags,
                     const char** failure)
{
    GLuint new_name = 0;
    glGenTextures(1, &new_name);
    glBindTexture(GL_TEXTURE_2D, new_name);
    SetFilterAndWrap(flags);
    // GLU would rescale sides that are not powers of two, and the view draws one texel
    // per pixel: such images go up as they are wherever GL takes any size.
    const bool own_size = !(IsPowerOfTwo(image_width) && IsPowerOfTwo(image_height)) &&
                          image_width > 0 && image_height > 0 && TakesAnyTextureSize();
    const GLenum error =
        own_size ? UploadAtOwnSize(pixels, image_width, image_height, flags)
                 : static_cast<GLenum>(gluBuild2DMipmaps(GL_TEXTURE_2D, 4, image_width, image_height,
                                                         GL_RGBA, GL_UNSIGNED_BYTE, pixels));
    if (error != GL_NO_ERROR) {
        // The object keeps its old texture; nothing of the failed one stays behind.
        glDeleteTextures(1, &new_name);
        glBindTexture(GL_TEXTURE_2D, name == -1 ? 0u : static_cast<GLuint>(name));
        if (failure)
            *failure = reinterpret_cast<const char*>(gluErrorString(error));
        return false;
    }
    if (name != -1) {
        GLuint old_name = static_cast<GLuint>(name);
        glDeleteTextures(1, &old_name);
    }
    name = static_cast<int32_t>(new_name);
    width = image_width;
    height = image_height;
    return true;
}

bool Texture::LoadPNG(const char* path, int flags)
{
    Image image;
    char reason[PNG_REASON_SIZE];
    if (!DecodePNGFile(path, &image, reason)) {
        LogMessage("'%s' not loaded: %s", path, reason);
        return false;
    }
    const char* failure = "";
    const bool uploaded = Upload(image.pixels, image.width, image.height, flags, &failure);
    FreeImage(&image);
    if (!uploaded)
        LogMessage("'%s' not loaded: %s", path, failure ? failure : "upload failed");
    return uploaded;
}
