// Texture: the program's holder of one OpenGL texture, its GL name and pixel size.
// Upload turns 32-bit RGBA pixels into a mipmapped 2D texture with the filtering and
// wrapping the TEX_ flags choose; LoadPNG decodes a PNG file (assets/png_decode.h)
// and uploads it. Both need a current GL context.
#pragma once

#include <cstdint>

constexpr int TEX_NEAREST = 1;  // nearest filtering, wins over TEX_LINEAR
constexpr int TEX_CLAMP = 2;    // clamp to edge instead of repeat
constexpr int TEX_LINEAR = 4;   // linear filtering without mipmap sampling

class Texture {
public:
    Texture();
    ~Texture();
    Texture(const Texture&) = delete;
    Texture& operator=(const Texture&) = delete;

    int32_t GetName() const;
    // pixels: width x height words, red in the low byte, first row first. Sides that
    // are not powers of two are kept where GL allows it, else rescaled. False (the
    // Texture unchanged, GL's reason in *failure) when GL refuses the image.
    bool Upload(const uint32_t* pixels, int32_t width, int32_t height, int flags,
                const char** failure = nullptr);
    // False (the Texture unchanged, the reason logged) when the file cannot be read.
    bool LoadPNG(const char* path, int flags);

    int32_t name;    // GL texture name, -1 before the first upload
    int32_t width;   // pixel size of the last uploaded image
    int32_t height;
};

// The program's one texture: the image the remap view draws from.
extern Texture remap_texture;
