// texwarp-bake's command line: what each option sets, the usage, and the parsing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// How target samples find their source: by the same face, or by rays onto the source
// surface; AUTO chooses by whether the two files list the same faces.
enum class Match { AUTO, FACES, SURFACE };

struct BakeOptions {
    std::string source;              // the layout the images are painted for
    std::string target;              // the new layout
    std::vector<std::string> images;
    std::vector<bool> normal_maps;   // per image: a tangent-space normal map (--normal-map)
    std::string out;                 // the output file, or the folder for several images
    int32_t width = 0;               // output size; 0 for each image's own
    int32_t height = 0;
    int padding = 8;                 // pixels of edge padding around the islands
    int samples = 1;                 // per side, per pixel
    int background[4] = {0, 0, 0, 0};  // RGBA of what no island or padding reaches
    bool background_given = false;   // else normal maps get the flat normal there
    bool y_down = false;             // normal maps' green is -v (--normal-y down)
    bool nearest = false;            // nearest filtering instead of linear
    int threads = 0;                 // workers; 0 for one per core
    bool quiet = false;              // no stage lines
    Match match = Match::AUTO;
    double cage_offset = -1;         // rays start this far out along the target normal;
                                     // below 0: DEFAULT_OFFSET of the target's size
    double max_distance = -1;        // and hit within this of their start (0: anywhere);
                                     // below 0: twice the offset, at least DEFAULT_REACH
                                     // of the target's size
    std::string misses;              // where to write the mask of samples that found no source
    int depth = 0;                   // bits a channel of PNG outputs; 0: the image's own
                                     // (16 for OpenEXR images)
    int exr_compression = 3;         // of OpenEXR outputs: ExrCompressionByName's number (zip)
};

// Surface transfer's defaults, as shares of the target's size (its box's diagonal):
// enough for a copy of one surface exported again, with its faces split otherwise.
constexpr double DEFAULT_OFFSET = 0.005;
constexpr double DEFAULT_REACH = 0.01;

// The workers the options ask for: --threads, else one per core.
int Threads(const BakeOptions& options);

// Reads the command line into *options; false with the reason in *error (one line).
// *info is set instead for -h, --help and --version.
bool ParseBakeOptions(int argc, const char* const* argv, BakeOptions* options, std::string* info,
                      std::string* error);

extern const char BAKE_USAGE_TEXT[];
