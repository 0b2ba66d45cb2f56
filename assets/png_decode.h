// PNG decoding without GL: any PNG libpng reads becomes 8-bit RGBA words (red in the
// low byte), first file row first. Images with an alpha channel get their interior
// transparent pixels coloured from a neighbour (alpha stays 0), so filtering does not
// bleed black into edges; others are opaque.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct Image {
    uint32_t* pixels;  // width x height words; the caller releases them with FreeImage
    int32_t width;
    int32_t height;
};

constexpr size_t PNG_REASON_SIZE = 160;

// Limits that keep a hostile file from exhausting memory.
constexpr uint64_t PNG_MAX_PIXELS = uint64_t(INT32_MAX) / 4;  // width x height
constexpr size_t PNG_MAX_CHUNK_BYTES = size_t(8) << 20;  // one ancillary chunk (libpng's
                                                          // allocations: 4 times this)

// On failure `image` is untouched and `reason` (PNG_REASON_SIZE bytes) says why.
bool DecodePNG(const unsigned char* bytes, size_t size, Image* image, char* reason);
bool DecodePNGFile(const char* path, Image* image, char* reason);
void FreeImage(Image* image);

// An image at its own depth, for programs that write it back: RGBA of 8 or 16 bits a
// channel (16-bit ones in the machine's byte order), first file row first, every pixel
// exactly as stored (transparent ones keep their colour).
// What the file says about its pixels' meaning, which a program writing the image back
// keeps: each part only where its flag is set. Fixed-point values are times 100000.
struct PngMetadata {
    bool has_gamma = false;
    int32_t gamma = 0;
    bool has_chromaticities = false;
    int32_t chromaticities[8] = {};  // white, red, green, blue: x then y
    bool has_srgb = false;
    int srgb_intent = 0;
    bool has_icc = false;
    std::string icc_name, icc_profile;
    bool has_significant_bits = false;
    uint8_t significant_bits[5] = {};  // red, green, blue, grey, alpha, as the file has them
    bool has_pixel_size = false;
    uint32_t pixels_per_unit[2] = {};  // x, y
    int unit = 0;                      // 1: the metre
};

// What an OpenEXR file says of its pixels, which writing it back keeps. Its channels
// fill four slots, red, green, blue and alpha; a grey image's one colour channel is
// slot 0.
enum class ExrType { UINT = 0, HALF = 1, FLOAT = 2 };  // as OpenEXR numbers them
struct ExrMetadata {
    bool present[4] = {};      // the slots the file has a channel for
    std::string names[4];      // that channel's name
    ExrType types[4] = {ExrType::HALF, ExrType::HALF, ExrType::HALF, ExrType::HALF};
    bool has_chromaticities = false;
    float chromaticities[8] = {};  // red, green, blue, white: x then y
    bool has_white_luminance = false;
    float white_luminance = 0;
    float pixel_aspect_ratio = 1;
};

struct DeepImage {
    void* pixels;    // width x height x 4 channels; released with FreeDeepImage
    int32_t width;
    int32_t height;
    int bits;        // 8 or 16 for PNG files (16 only for 16-bit ones); 32: floats, from
                     // OpenEXR files or for writing them
    bool grey;       // the file is grey (its three colour channels are equal)
    bool alpha;      // the file has alpha: a channel or a transparent colour
    PngMetadata metadata;
    ExrMetadata exr;  // with 32 bits
};

// Whether 16-bit samples in the machine's order are little-endian (PNG's are big).
inline bool IsLittleEndian()
{
    const uint16_t one = 1;
    return *reinterpret_cast<const unsigned char*>(&one) == 1;
}

bool DecodeDeepPNG(const unsigned char* bytes, size_t size, DeepImage* image, char* reason);
bool DecodeDeepPNGFile(const char* path, DeepImage* image, char* reason);
// What DecodeDeepPNGFile would give but the pixels (left null): read before any work,
// so that an image that cannot be used stops a bake before anything is written.
bool ReadDeepPNGHeader(const char* path, DeepImage* header, char* reason);
void FreeDeepImage(DeepImage* image);

// Gives each interior pixel of alpha 0 the colour of the first pixel of its 3 x 3
// neighbourhood (row by row, from the top left) whose alpha is not 0; DecodePNG and
// DecodePNGFile do it for every image with alpha.
void FillTransparentPixels(DeepImage* image);
