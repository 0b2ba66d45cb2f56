// texwarp-bake run as a user runs it (process start included), each run with its own
// peak memory. The colour bake against a floor that does not move with this program's
// code: reading both OBJ files with memchr, libpng's own decode of the image and
// libpng's own encode of the output at zlib level 2 with the SUB and UP filters, each
// timed alone and on one thread in this process. The normal-map bake against the
// colour bake plus one run of the reference tangent generator.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "assets/mesh_pair.h"
#include "assets/png_decode.h"
#include "assets/png_encode.h"
#include "bake/tangent_frames.h"
#include "bench/bake_runs.h"
#include "bench/bench_util.h"
#include "support/parallel.h"

namespace {

struct Case {
    std::string source, target, image;
    std::string reordered;  // the source's faces as another exporter writes them
    int triangles;
    int runs;
};

std::string BakeCommand(const std::string& bake, const Case& c, const std::string& options, const std::string& out,
                        const std::string& report, bool reordered = false)
{
    return "\"" + bake + "\" \"" + (reordered ? c.reordered : c.source) + "\" \"" + c.target + "\" " + options + " \"" +
           c.image + "\" -o \"" + out + "\" 2>\"" + report + "\"";
}

// Two lines for a case. "bake:" the colour bake against its floor: reading both OBJ
// files, libpng's own decode of the image and its own encode of the output, each alone
// and on one thread. "normal-bake:" the same image baked as a normal map against the
// colour bake plus one run of the reference tangent generator on one layout.
// "surface-bake:" the colour bake from the source reordered, matched by rays, against
// the colour bake.
void Measure(const std::string& bake, const std::string& dir, const Case& c)
{
    const std::string out = dir + "/bench-baked.png", report = dir + "/bench-bake.txt";
    const std::string again = dir + "/bench-encoded.png";
    // Every measure once a round, the fastest of each kept: this machine's speed drifts
    // over seconds, and rounds give both sides of a ratio the same drift.
    Run colour, normal, surface;
    double load = 1e300, decode = 1e300, encode = 1e300, mikktspace = 1e300;
    DeepImage output{};
    for (int round = 0; round < c.runs; ++round) {
        KeepFaster(&colour, Bake(BakeCommand(bake, c, "", out, report), report));
        char reason[PNG_REASON_SIZE];
        if (round == 0 && (!DecodeDeepPNGFile(out.c_str(), &output, reason) || output.bits != 8))
            Fail("the output is not the 8-bit image it should be");
        load = std::min(load, BestOf(1, [&] {
            if (CountLineFeeds(c.source) + CountLineFeeds(c.target) == 0)
                Fail("the meshes are empty");
        }));
        std::vector<png_byte> rows;
        decode = std::min(decode, BestOf(1, [&] {
            if (!DecodeRowsWithLibpng(c.image, rows))
                Fail("libpng cannot read the image");
        }));
        encode = std::min(encode, BestOf(1, [&] {
            if (!EncodeWithLibpng(again, static_cast<const unsigned char*>(output.pixels), output.width, output.height))
                Fail("libpng cannot write the output");
        }));
        KeepFaster(&normal, Bake(BakeCommand(bake, c, "--normal-map", out, report), report));
        KeepFaster(&surface, Bake(BakeCommand(bake, c, "", out, report, true), report));
        MeshSurface surfaces[2] = {};
        if (LoadRemapMeshPair(c.source.c_str(), c.target.c_str(), 1, surfaces) != MeshLoad::OK)
            Fail("the meshes did not load");
        mikktspace = std::min(mikktspace, BestOf(1, [&] {
            FrameTable frames{};
            if (!MakeFrames(surfaces, &remap_table.count, 1, 0, 1, &frames))
                Fail("no tangent frames");
            FreeFrames(&frames);
        }));
        FreeMeshSurface(&surfaces[0]);
        FreeMeshSurface(&surfaces[1]);
        ClearRemapTable();
    }
    const double floor_ms = load + decode + encode;
    const Stages& st = colour.stages;
    std::printf("bake: %.1f ms (%dx%d, %d triangles), load %.1f, decode %.1f, draw %.1f, pad %.1f, encode %.1f ms; "
                "floor %.1f ms (read %.1f, libpng decode %.1f, libpng encode %.1f); ratio %.2f; peak %.0f MB; "
                "%d threads\n",
                colour.ms, output.width, output.height, c.triangles, st.load, st.decode, st.draw, st.pad, st.encode,
                floor_ms, load, decode, encode, colour.ms / floor_ms, colour.peak, DefaultThreadCount());

    const Stages& ns = normal.stages;
    const double goal = colour.ms + mikktspace;
    std::printf("normal-bake: %.1f ms (%dx%d, %d triangles), load %.1f, decode %.1f, tangent %.1f, draw %.1f, "
                "pad %.1f, encode %.1f ms; goal %.1f ms (bake %.1f + mikktspace %.1f ms); ratio %.2f; peak %.0f MB; "
                "%d threads\n",
                normal.ms, output.width, output.height, c.triangles, ns.load, ns.decode, ns.tangent, ns.draw, ns.pad,
                ns.encode, goal, colour.ms, mikktspace, normal.ms / goal, normal.peak, DefaultThreadCount());
    const Stages& ss = surface.stages;
    std::printf("surface-bake: %.1f ms (%dx%d, %d triangles), load %.1f, rays %.1f, draw %.1f, pad %.1f, "
                "encode %.1f ms; ratio to bake %.2f; peak %.0f MB; %d threads\n",
                surface.ms, output.width, output.height, c.triangles, ss.load, ss.rays, ss.draw, ss.pad, ss.encode,
                surface.ms / colour.ms, surface.peak, DefaultThreadCount());
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
    const std::string small0 = dir + "/bench-bake-mesh1-reordered.obj", large0 = dir + "/bench-mesh1-reordered.obj";
    if (!Exists(small0))
        WriteGrid(small0, 128, false, true);
    if (!Exists(large0))
        WriteGrid(large0, 1024, false, true);
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
    Measure(bake, dir, Case{small1, small2, image1k, small0, 2 * 128 * 128, 15});
    Measure(bake, dir, Case{large1, large2, image4k, large0, 2 * 1024 * 1024, 5});
    return 0;
}
