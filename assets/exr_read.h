// OpenEXR reading: a file's first part into four floats a pixel, exactly as stored (no
// clamping, no colour conversion), through the library's C core, which checks what
// it reads against the file, on several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "assets/png_decode.h"

// Images beyond this many pixels (either window) are refused before their pixels are
// held, and so are those whose channels together hold more than 16 bytes a pixel for
// this many pixels.
constexpr uint64_t EXR_MAX_PIXELS = uint64_t(INT32_MAX) / 16;

// Whether the bytes start as an OpenEXR file does.
bool IsExrData(const unsigned char* bytes, size_t size);

// The first part as DeepImage bits 32: RGBA from its R, G, B and A channels (absent ones
// 0, alpha 1), or grey from Y, else from its only channel besides A. Texels of the
// display window outside the data window are 0 (and opaque where the file has no A).
// A file of several parts gives its first, with *warning saying so. On failure `image`
// is untouched and `reason` (PNG_REASON_SIZE bytes) says why. Chunks are decoded on
// `threads` workers.
bool DecodeExr(const unsigned char* bytes, size_t size, int threads, DeepImage* image, char* reason,
               std::string* warning, uint64_t max_pixels = EXR_MAX_PIXELS);
bool DecodeExrFile(const char* path, int threads, DeepImage* image, char* reason, std::string* warning);
// What DecodeExrFile gives but the pixels (left null), from the header alone.
bool ReadExrHeader(const char* path, DeepImage* header, char* reason);
