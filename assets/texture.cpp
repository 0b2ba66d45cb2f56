// Texture object: GL upload with mipmaps, and the PNG load that feeds it.
#include "assets/texture.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <cstdlib>

#include "assets/png_decode.h"
#include "support/log.h"

Texture remap_texture;

// Not in the OpenGL 1.1 headers Windows has.
constexpr GLenum CLAMP_TO_EDGE = 0x812F;

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

void Texture::Upload(const uint32_t* pixels, int32_t image_width, int32_t image_height, int flags)
{
    width = image_width;
    height = image_height;
    if (name != -1) {
        GLuint old_name = static_cast<GLuint>(name);
        glDeleteTextures(1, &old_name);
    }
    GLuint new_name = 0;
    glGenTextures(1, &new_name);
    glBindTexture(GL_TEXTURE_2D, new_name);
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
    // GLU rescales sides that are not powers of two; width and height keep the image's own.
    gluBuild2DMipmaps(GL_TEXTURE_2D, 4, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
    name = static_cast<int32_t>(new_name);
}

bool Texture::LoadPNG(const char* path, int flags)
{
    Image image;
    char reason[PNG_REASON_SIZE];
    if (!DecodePNGFile(path, &image, reason)) {
        LogMessage("'%s' not loaded: %s", path, reason);
        return false;
    }
    Upload(image.pixels, image.width, image.height, flags);
    FreeImage(&image);
    return true;
}
