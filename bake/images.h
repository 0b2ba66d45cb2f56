// The bake's images in either format: read by their content (PNG or OpenEXR), drawn at
// the depth their output needs, and written in the format the output's name gives.
#pragma once

#include <cstdint>
#include <string>

#include "assets/png_decode.h"
#include "bake/options.h"

// An output's format: OpenEXR where its name ends in ".exr" (standard output is PNG).
bool WritesExr(const BakeOptions& options, const std::string& out);

// The image's pixels or its header alone, PNG or OpenEXR by the file's first bytes;
// *warning says what the file has that is not baked.
bool DecodeImage(const std::string& path, int threads, DeepImage* image, char* reason, std::string* warning);
bool ReadImageHeader(const std::string& path, DeepImage* header, char* reason);

// "8-bit RGBA", "half grey", ...: what the stage line says of a decoded image.
std::string DescribeImage(const DeepImage& image);

// The depth an image is drawn at for an output: an 8- or 16-bit one written as OpenEXR
// becomes floats (false when memory runs out). Where the pixels are not needed,
// `header_only`, only the depth changes.
bool DrawingDepth(DeepImage* image, bool exr_output, bool header_only = false);

// Writes the baked pixels (a DeepImage at the drawing's depth, owned: converted in place
// for a PNG of another depth) to `out`, or to standard output for "-o -".
struct BakedImage {
    DeepImage pixels;  // with the image's layout and metadata
    std::string out;
    bool to_stdout;
    void (*progress)(int32_t rows_done, int32_t rows, void* context);
    void* progress_context;
};
bool WriteBaked(const BakeOptions& options, BakedImage* baked, int threads, char* reason);
