// texwarp-bake run as a user runs it (process start and GL set-up included), against
// the floor of the work it cannot avoid: the mesh load, the decode, and libpng's
// encoding of the same output, each timed alone in this process.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "assets/mesh_pair.h"
#include "assets/png_decode.h"
#include "assets/png_encode.h"
#include "bench/bench_util.h"

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

// One line: the bake of `image` over the pair, best of `runs`, and its floor.
void Measure(const std::string& bake, const std::string& dir, const std::string& source,
             const std::string& target, const std::string& image, int runs)
{
    const std::string out = dir + "/bench-baked.png", report = dir + "/bench-bake.txt";
    const std::string command = "\"" + bake + "\" \"" + source + "\" \"" + target + "\" \"" + image + "\" -o \"" +
                                out + "\" 2>\"" + report + "\"";
    // The fastest run, with the stage times it reported.
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

    DeepImage output{};
    char reason[PNG_REASON_SIZE];
    if (!DecodeDeepPNGFile(out.c_str(), &output, reason))
        Fail(reason);
    const double load = BestOf(runs, [&] {
        if (!LoadRemapMeshes(source.c_str(), target.c_str()))
            Fail("the meshes did not load");
    });
    const double decode = BestOf(runs, [&] {
        DeepImage decoded{};
        if (!DecodeDeepPNGFile(image.c_str(), &decoded, reason))
            Fail(reason);
        FreeDeepImage(&decoded);
    });
    const std::string again = dir + "/bench-encoded.png";
    const double encode = BestOf(runs, [&] {
        if (!WritePNGFile(again.c_str(), PngOutput{output.pixels, output.width, output.height, output.bits,
                                                   output.grey, nullptr, nullptr, 1},
                          reason))
            Fail(reason);
    });
    const double floor_ms = load + decode + encode;
    std::printf("bake: %.1f ms (%dx%d, %d triangles), load %.1f, decode %.1f, draw %.1f, pad %.1f, encode %.1f ms; "
                "floor %.1f ms; ratio %.2f\n",
                total, output.width, output.height, remap_table.count, best_stages.load, best_stages.decode,
                best_stages.draw, best_stages.pad, best_stages.encode, floor_ms, total / floor_ms);
    FreeDeepImage(&output);
    ClearRemapTable();
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
    Measure(bake, dir, small1, small2, image1k, 5);
    Measure(bake, dir, large1, large2, image4k, 3);
    return 0;
}
