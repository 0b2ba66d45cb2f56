// The bake's images in either format: read by their content (PNG or OpenEXR), drawn at
// the depth their output needs, and written in the format the output's name gives.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "assets/png_decode.h"
#include "bake/options.h"

// A decoded image argument, at the drawing's depth.
struct InputImages {
    std::vector<DeepImage> images;  // one, or a UDIM set's tiles in ascending order
    std::vector<int> tiles;         // the tiles' numbers; empty for a single image
};
void FreeInputImages(InputImages* input);

// An output's format: OpenEXR where its name ends in ".exr" (standard output is PNG).
bool WritesExr(const BakeOptions& options, const std::string& out);

// The image's pixels or its header alone, PNG or OpenEXR by the file's first bytes;
// *warning says what the file has that is not baked.
bool DecodeImage(const std::string& path, int threads, DeepImage* image, char* reason, std::string* warning);
bool ReadImageHeader(const std::string& path, DeepImage* header, char* reason);

// An image argument: one file, or for a name with <UDIM> every tile of its set, decoded
// on `threads` workers and brought to one depth, the deepest among them (floats for an
// OpenEXR output). BAKE_DONE, or the exit code with *message naming the file and why;
// *warnings gets what the files have that is not baked. `alongside`, when given, is one
// more job among a set's tiles, handed out first and given the workers the tiles leave
// over (at least one): other work shares the workers instead of contending for them.
int DecodeInput(const std::string& path, int threads, bool exr_output, InputImages* input, std::string* message,
                std::vector<std::string>* warnings, const std::function<void(int threads)>& alongside = nullptr);
// The same from the headers alone: *header is the first tile's, at the drawing's depth
// and grey only where every tile is.
int ReadInputHeader(const std::string& path, bool exr_output, DeepImage* header, std::string* message);

// "8-bit RGBA", "half grey", ...: what the stage line says of a decoded image.
std::string DescribeImage(const DeepImage& image);

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
