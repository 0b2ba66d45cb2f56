// texwarp-bake's command line: the usage, and each option read into BakeOptions.
#include "bake/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "assets/exr_write.h"
#include "support/parallel.h"

const char BAKE_USAGE_TEXT[] =
    "usage: texwarp-bake [options] SOURCE.obj TARGET.obj IMAGE [IMAGE2 ...] -o OUT\n"
    "Writes each image (PNG or OpenEXR) re-laid-out from the SOURCE layout to the TARGET\n"
    "layout. With one image OUT is the output file, OpenEXR where its name ends in .exr,\n"
    "else PNG; with several, a folder that gets each image's name and format.\n"
    "  --size W[xH]          output size (default: each image's own)\n"
    "  --padding N           pixels of edge padding around the islands (default 8, 0: none)\n"
    "  --samples N           N x N samples over each pixel, averaged: smooth edges and a\n"
    "                        filtered image, for outputs smaller than the texture; 1 to 15\n"
    "                        (default 1)\n"
    "  --background R,G,B,A  where no island or padding reaches (default 0,0,0,0)\n"
    "  --filter linear|nearest  how the image is sampled (default linear)\n"
    "  --threads N           workers (default: one per core); the output is the same\n"
    "  --normal-map IMAGE    IMAGE (one more input) is a tangent-space normal map: its\n"
    "                        normals are turned into the target layout's frames\n"
    "  --normal-y up|down    normal maps' green: +v (default; glTF, Blender, OpenGL)\n"
    "                        or -v (DirectX)\n"
    "  --match faces|surface how target samples find their source: the same face of\n"
    "                        SOURCE, or rays from the TARGET surface onto SOURCE's (default:\n"
    "                        faces where the two files list the same faces, turned, moved\n"
    "                        or scaled as a whole; surface otherwise)\n"
    "  --cage-offset D       rays start D model units out along the target's normal\n"
    "                        (default 0.5 % of the target's size, its box's diagonal)\n"
    "  --max-distance D      and hit SOURCE within D of their start (default twice the\n"
    "                        offset, at least 1 % of the target's size; 0: no limit)\n"
    "  --misses MASK.png     the pixels whose rays found no source, in white\n"
    "  --depth 8|16          bits a channel of PNG outputs (default: the image's own; 16\n"
    "                        for OpenEXR images)\n"
    "  --exr-compression C   of OpenEXR outputs: none, rle, zips, zip (default), piz,\n"
    "                        pxr24, b44, b44a, dwaa or dwab\n"
    "  -o -                  the one output to standard output\n"
    "  -q, --quiet           no progress lines\n"
    "  -h, --help, --version\n"
    "Exit codes: 0 done, 2 usage, 3 an input cannot be read or gives nothing to draw,\n"
    "4 an output cannot be written or memory runs out.\n";

static const char VERSION_TEXT[] = "texwarp-bake 1.0\n";

namespace {

// A whole decimal number in [low, high], and nothing after it.
bool ParseNumber(const char* text, long low, long high, long* value)
{
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || n < low || n > high || *text == '+' || *text == ' ')
        return false;
    *value = n;
    return true;
}

bool ParseSize(const std::string& text, BakeOptions* options)
{
    const size_t x = text.find('x');
    long width = 0, height = 0;
    if (!ParseNumber(text.substr(0, x).c_str(), 1, 65536, &width))
        return false;
    height = width;
    if (x != std::string::npos && !ParseNumber(text.substr(x + 1).c_str(), 1, 65536, &height))
        return false;
    options->width = int32_t(width);
    options->height = int32_t(height);
    return true;
}

// A distance: a finite decimal number, 0 or more.
bool ParseDistance(const std::string& text, double* value)
{
    char* end = nullptr;
    const double d = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(d) || d < 0 || text[0] == ' ')
        return false;
    *value = d;
    return true;
}

bool ParseBackground(const std::string& text, BakeOptions* options)
{
    size_t start = 0;
    for (int c = 0; c < 4; ++c) {
        const size_t comma = text.find(',', start);
        if ((comma == std::string::npos) != (c == 3))
            return false;
        long value = 0;
        if (!ParseNumber(text.substr(start, comma - start).c_str(), 0, 255, &value))
            return false;
        options->background[c] = int(value);
        start = comma + 1;
    }
    return true;
}

// One option that takes a value; false with the reason when the value is wrong.
bool ApplyOption(const std::string& name, const std::string& value, BakeOptions* options, std::string* error)
{
    long n = 0;
    bool good = true;
    if (name == "-o")
        options->out = value;
    else if (name == "--size")
        good = ParseSize(value, options);
    else if (name == "--padding")
        good = ParseNumber(value.c_str(), 0, 65536, &n) && (options->padding = int(n), true);
    else if (name == "--samples")
        good = ParseNumber(value.c_str(), 1, 15, &n) && (options->samples = int(n), true);
    else if (name == "--background")
        good = ParseBackground(value, options) && (options->background_given = true);
    else if (name == "--normal-map")
        good = !value.empty() && (options->images.push_back(value), options->normal_maps.push_back(true), true);
    else if (name == "--normal-y")
        good = (value == "up" || value == "down") && (options->y_down = value == "down", true);
    else if (name == "--filter")
        good = (value == "linear" || value == "nearest") && (options->nearest = value == "nearest", true);
    else if (name == "--threads")
        good = ParseNumber(value.c_str(), 1, 1024, &n) && (options->threads = int(n), true);
    else if (name == "--match")
        good = (value == "faces" || value == "surface") &&
               (options->match = value == "faces" ? Match::FACES : Match::SURFACE, true);
    else if (name == "--cage-offset")
        good = ParseDistance(value, &options->cage_offset);
    else if (name == "--max-distance")
        good = ParseDistance(value, &options->max_distance);
    else if (name == "--misses")
        good = !value.empty() && (options->misses = value, true);
    else if (name == "--depth")
        good = (value == "8" || value == "16") && (options->depth = value == "8" ? 8 : 16, true);
    else if (name == "--exr-compression")
        good = (options->exr_compression = ExrCompressionByName(value)) >= 0;
    if (!good)
        *error = "bad value for " + name + ": '" + value + "'";
    return good;
}

bool TakesValue(const std::string& name)
{
    return name == "-o" || name == "--size" || name == "--padding" || name == "--samples" ||
           name == "--background" || name == "--filter" || name == "--threads" || name == "--normal-map" ||
           name == "--normal-y" || name == "--match" || name == "--cage-offset" || name == "--max-distance" ||
           name == "--misses" || name == "--depth" || name == "--exr-compression";
}

}  // namespace

bool ParseBakeOptions(int argc, const char* const* argv, BakeOptions* options, std::string* info,
                      std::string* error)
{
    std::vector<std::string> meshes;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (options_end || arg.size() < 2 || arg[0] != '-') {
            if (meshes.size() < 2) {
                meshes.push_back(arg);
            } else {
                options->images.push_back(arg);
                options->normal_maps.push_back(false);
            }
            continue;
        }
        if (arg == "--") {
            options_end = true;
        } else if (arg == "-h" || arg == "--help" || arg == "--version") {
            *info = arg == "--version" ? VERSION_TEXT : BAKE_USAGE_TEXT;
            return true;
        } else if (arg == "-q" || arg == "--quiet") {
            options->quiet = true;
        } else {
            const size_t equals = arg.find('=');
            const std::string name = arg.substr(0, equals);
            if (!TakesValue(name)) {
                *error = "unknown option '" + arg + "'";
                return false;
            }
            if (equals == std::string::npos && i + 1 >= argc) {
                *error = name + " needs a value";
                return false;
            }
            const std::string value = equals == std::string::npos ? argv[++i] : arg.substr(equals + 1);
            if (!ApplyOption(name, value, options, error))
                return false;
        }
    }
    if (meshes.size() < 2 || options->images.empty()) {
        *error = "needs SOURCE.obj, TARGET.obj and at least one IMAGE.png";
        return false;
    }
    if (options->out.empty()) {
        *error = "needs -o OUT";
        return false;
    }
    options->source = meshes[0];
    options->target = meshes[1];
    return true;
}

int Threads(const BakeOptions& options)
{
    return options.threads > 0 ? options.threads : DefaultThreadCount();
}
