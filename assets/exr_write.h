// OpenEXR writing: four floats a pixel written with the channels' names and pixel types
// the image came with; conversions between floats and the PNG depths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "assets/png_decode.h"

// The threads OpenEXR encodes on, for the whole program: set before any file.
void SetExrThreads(int threads);

// Whether a name ends in ".exr" (any case).
bool IsExrName(const std::string& name);

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
