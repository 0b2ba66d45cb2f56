// PNG writing: RGBA pixels of 8 or 16 bits a channel become an RGBA or a grey-and-alpha
// file, whole or not at all, compressed on several threads. The bytes do not depend on
// the thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "assets/png_decode.h"

struct PngOutput {
    const void* pixels;  // width x height x 4 channels, first row first; 16-bit ones in the
                         // machine's byte order
    int32_t width;
    int32_t height;
    int bits;            // 8 or 16
    bool grey;           // write grey and alpha, from the red channel
    // Called as rows are compressed, when set.
    void (*progress)(int32_t rows_done, int32_t rows, void* context);
    void* progress_context;
    int threads;         // workers compressing at once; 0 or 1 for the calling thread alone
    const PngMetadata* metadata;  // written with the image when set; significant bits
                                  // are fitted to the output's depth
};

// Writes `image` to `path` through a temporary file of its own beside it, which
// replaces `path` (or, for a symbolic link, the file it leads to) only once complete
// and on the disk. On failure nothing is left behind and `reason` (PNG_REASON_SIZE
// bytes) says why.
bool WritePNGFile(const char* path, const PngOutput& image, char* reason);
// The same bytes to an open stream (standard output), flushed; false with the reason.
bool WritePNGStream(FILE* file, const PngOutput& image, char* reason);
