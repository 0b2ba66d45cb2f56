// OpenEXR images for the bake: read into four floats a pixel, exactly as stored (no
// clamping, no colour conversion), and written back with their channels' names and
// pixel types; conversions to and from the PNG depths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "assets/png_decode.h"

// Limits that keep a hostile file from exhausting memory: pixels of the display window,
// and of the data window read.
constexpr uint64_t EXR_MAX_PIXELS = uint64_t(INT32_MAX) / 16;

// The threads OpenEXR decodes and encodes on, for the whole program: set before any file.
void SetExrThreads(int threads);

// Whether the bytes start as an OpenEXR file does; whether a name ends in ".exr" (any case).
bool IsExrData(const unsigned char* bytes, size_t size);
bool IsExrName(const std::string& name);

// A file's first part, as DeepImage bits 32: RGBA from its R, G, B and A channels
// (absent ones 0, alpha 1), or grey from Y or from its only colour channel. Texels of
// the display window outside the data window are 0 (alpha too where the file has it).
// A file of several parts gives its first, with *warning saying so. On failure `image`
// is untouched and `reason` (PNG_REASON_SIZE bytes) says why. `threads` decode at once.
bool DecodeExr(const unsigned char* bytes, size_t size, int threads, DeepImage* image, char* reason,
               std::string* warning);
bool DecodeExrFile(const char* path, int threads, DeepImage* image, char* reason, std::string* warning);
// What DecodeExrFile gives but the pixels (left null), from the header alone.
bool ReadExrHeader(const char* path, DeepImage* header, char* reason);

// OpenEXR's compressions by name: "none", "rle", "zips", "zip", "piz", "pxr24", "b44",
// "b44a", "dwaa", "dwab"; -1 for another name.
int ExrCompressionByName(const std::string& name);
constexpr int EXR_ZIP = 3;

struct ExrOutput {
    const float* pixels;  // width x height x 4, first row first
    int32_t width;
    int32_t height;
    const ExrMetadata* metadata;  // which channels are written, named and typed how
    int compression;              // ExrCompressionByName's number
    int threads;
};

// Writes `image` to `path` as PNG files are written (a temporary file of its own,
// synced, then renamed over `path`); on failure nothing is left behind and `reason`
// (PNG_REASON_SIZE bytes) says why.
bool WriteExrFile(const char* path, const ExrOutput& image, char* reason);

// An 8- or 16-bit image as floats (value / 255 or / 65535), to be written as half
// channels: R, G, B or Y, and A where it has alpha. False when memory runs out.
bool ToFloatImage(DeepImage* image);
// Floats rounded and clamped to 0..1 in `bits` (8 or 16) a channel, in place (NaN is 0).
void ToPngDepth(DeepImage* image, int bits);
