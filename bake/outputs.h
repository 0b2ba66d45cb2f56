// The bake's outputs: where each image is written, every output checked before any
// work, and the folders a failed run made taken away again.
#pragma once

#include <string>
#include <vector>

#include "bake/bake.h"

// "-o -": the single output goes to standard output.
bool ToStandardOutput(const BakeOptions& options);

// The file an image is written to: OUT itself for one image, else OUT/its name.
std::string OutputPath(const BakeOptions& options, const std::string& image);

// Checks every output before any work and, for several images, makes their folder:
// BAKE_DONE, or the exit code with *message saying why. *made gets the folders made,
// outermost first.
int PrepareOutputs(const BakeOptions& options, std::vector<std::string>* made, std::string* message);

// An explicit --size whose buffers cannot be had (the drawing and its coverage, and the
// compressed output at `bits` a channel) is refused before any work.
int CheckSizeFits(const BakeOptions& options, int bits, std::string* message);

// Removes the folders of `made` that nothing was written into, innermost first.
void RemoveMadeFolders(const std::vector<std::string>& made);
