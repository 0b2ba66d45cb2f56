// texwarp-bake run as a user runs it (process start included), against a floor that
// does not move with this program's code: reading both OBJ files with memchr, libpng's
// own decode of the image and libpng's own encode of the output at zlib level 2 with
// the SUB and UP filters, each timed alone and on one thread in this process.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "assets/png_decode.h"
#include "assets/png_encode.h"
#include "bench/bench_util.h"
#include "support/parallel.h"

namespace {

// The stage times the bake reports on standard error, in milliseconds.
struct Stages {
    double load = 0, decode = 0, draw = 0, pad = 0, encode = 0;
};

double SecondsAfterIn(const std::string& line)
{
    const size_t in = line.rfind(" in ");
    return in == std::string::npos ? 0 : std::atof(line.c_str() + in + 4) * 1000;
}

Stages ReadStages(const std::string& path)
{
    Stages stages;
    FILE* f = std::fopen(path.c_str(), "r");
    char text[1024];
    while (f && std::fgets(text, sizeof text, f)) {
        const std::string line = text;
        double& slot = line.find("meshes read") != std::string::npos ? stages.load
                     : line.find("decoded") != std::string::npos     ? stages.decode
                     : line.find("drawn") != std::string::npos       ? stages.draw
                     : line.find("padded") != std::string::npos      ? stages.pad
                     : line.find("written") != std::string::npos     ? stages.encode
                                                                     : stages.load;
        if (line.find(" in ") != std::string::npos && line.find("warning") == std::string::npos)
            slot = SecondsAfterIn(line);
    }
    if (f)
        std::fclose(f);
    return stages;
}

void Fail(const char* what)
{
    std::printf("bake bench: %s\n", what);
    std::exit(1);
}

// The largest resident size of any child process waited for so far, in MiB.
double ChildrenPeakMiB()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss / 1024.0;
}

// One line: the bake of `image` over the pair, best of `runs`, against its floor: reading
// both OBJ files, libpng's own decode of the image and its own encode of the output,
// each alone and on one thread.
void Measure(const std::string& bake, const std::string& dir, const std::string& source,
             const std::string& target, const std::string& image, int triangles, int runs)
{
    const std::string out = dir + "/bench-baked.png", report = dir + "/bench-bake.txt";
    const std::string command = "\"" + bake + "\" \"" + source + "\" \"" + target + "\" \"" + image + "\" -o \"" +
                                out + "\" 2>\"" + report + "\"";
    // The fastest run, with the stage times it reported; the children's peak only grows,
    // and the larger case runs last.
    double total = 1e300;
    Stages best_stages;
    for (int run = 0; run < runs; ++run) {
        const double ms = BestOf(1, [&] {
            if (std::system(command.c_str()) != 0)
                Fail("the bake failed");
        });
        if (ms < total) {
            total = ms;
            best_stages = ReadStages(report);
        }
    }
    const double peak = ChildrenPeakMiB();

    DeepImage output{};
    char reason[PNG_REASON_SIZE];
    if (!DecodeDeepPNGFile(out.c_str(), &output, reason) || output.bits != 8)
        Fail("the output is not the 8-bit image it should be");
    const double load = BestOf(runs, [&] {
        if (CountLineFeeds(source) + CountLineFeeds(target) == 0)
            Fail("the meshes are empty");
    });
    std::vector<png_byte> rows;
    const double decode = BestOf(runs, [&] {
        if (!DecodeRowsWithLibpng(image, rows))
            Fail("libpng cannot read the image");
    });
    const std::string again = dir + "/bench-encoded.png";
    const double encode = BestOf(runs, [&] {
        if (!EncodeWithLibpng(again, static_cast<const unsigned char*>(output.pixels), output.width, output.height))
            Fail("libpng cannot write the output");
    });
    const double floor_ms = load + decode + encode;
    std::printf("bake: %.1f ms (%dx%d, %d triangles), load %.1f, decode %.1f, draw %.1f, pad %.1f, encode %.1f ms; "
                "floor %.1f ms (read %.1f, libpng decode %.1f, libpng encode %.1f); ratio %.2f; peak %.0f MB; "
                "%d threads\n",
                total, output.width, output.height, triangles, best_stages.load, best_stages.decode, best_stages.draw,
                best_stages.pad, best_stages.encode, floor_ms, load, decode, encode, total / floor_ms, peak,
                DefaultThreadCount());
    FreeDeepImage(&output);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        Fail("usage: bake_bench DATA_DIR TEXWARP_BAKE");
    const std::string dir = argv[1], bake = argv[2];
    const std::string small1 = dir + "/bench-bake-mesh1.obj", small2 = dir + "/bench-bake-mesh2.obj";
    const std::string large1 = dir + "/bench-mesh1.obj", large2 = dir + "/bench-mesh2.obj";
    const std::string image1k = dir + "/bench-texture-1k.png", image4k = dir + "/bench-texture.png";
    if (!Exists(small1) || !Exists(small2)) {
        WriteGrid(small1, 128, false);  // 32,768 triangles
        WriteGrid(small2, 128, true);
    }
    if (!Exists(large1) || !Exists(large2)) {
        WriteGrid(large1, 1024, false);  // 2,097,152 triangles
        WriteGrid(large2, 1024, true);
    }
    if ((!Exists(image1k) && !WriteNoisyRgbPng(image1k, 1024)) || (!Exists(image4k) && !WriteNoisyRgbPng(image4k, 4096)))
        Fail("cannot write the images");
    Measure(bake, dir, small1, small2, image1k, 2 * 128 * 128, 5);
    Measure(bake, dir, large1, large2, image4k, 2 * 1024 * 1024, 3);
    return 0;
}
