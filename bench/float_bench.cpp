// The bake of UDIM sets and of OpenEXR images, run as a user runs it, against floors
// that do not move with this program's code: reading both OBJ files with memchr, and
// the reference libraries' own single-threaded decode of every input and encode of
// every output (libpng at zlib level 2 with the SUB and UP filters; OpenEXR's RGBA
// input and output files, ZIP-compressed).
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <ImfArray.h>
#include <ImfRgbaFile.h>
#include <ImfThreading.h>

#include "assets/png_decode.h"
#include "bench/bake_runs.h"
#include "bench/bench_util.h"
#include "support/parallel.h"

namespace {

constexpr int TILES = 10;

std::string TileFile(const std::string& pattern, int tile)
{
    const size_t at = pattern.find("<UDIM>");
    return pattern.substr(0, at) + std::to_string(tile) + pattern.substr(at + 6);
}

// The noisy texture as half RGBA, alpha 1.
void WriteHalfExr(const std::string& png, const std::string& exr)
{
    DeepImage image{};
    char reason[PNG_REASON_SIZE];
    if (!DecodeDeepPNGFile(png.c_str(), &image, reason))
        Fail("cannot read the texture");
    std::vector<Imf::Rgba> pixels(size_t(image.width) * size_t(image.height));
    const auto* p = static_cast<const uint8_t*>(image.pixels);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = Imf::Rgba(p[i * 4] / 255.0f, p[i * 4 + 1] / 255.0f, p[i * 4 + 2] / 255.0f, 1.0f);
    Imf::RgbaOutputFile file(exr.c_str(), image.width, image.height, Imf::WRITE_RGBA, 1, Imath::V2f(0, 0), 1,
                             Imf::INCREASING_Y, Imf::ZIP_COMPRESSION);
    file.setFrameBuffer(pixels.data(), 1, size_t(image.width));
    file.writePixels(image.height);
    FreeDeepImage(&image);
}

// OpenEXR's own RGBA read of a file, into `pixels`.
void ReadRgba(const std::string& path, Imf::Array2D<Imf::Rgba>* pixels, int* width, int* height)
{
    Imf::RgbaInputFile file(path.c_str());
    const Imath::Box2i w = file.dataWindow();
    *width = w.max.x - w.min.x + 1;
    *height = w.max.y - w.min.y + 1;
    pixels->resizeErase(*height, *width);
    file.setFrameBuffer(&(*pixels)[0][0] - w.min.x - w.min.y * *width, 1, size_t(*width));
    file.readPixels(w.min.y, w.max.y);
}

void WriteRgba(const std::string& path, const Imf::Array2D<Imf::Rgba>& pixels, int width, int height)
{
    Imf::RgbaOutputFile file(path.c_str(), width, height, Imf::WRITE_RGBA, 1, Imath::V2f(0, 0), 1, Imf::INCREASING_Y,
                             Imf::ZIP_COMPRESSION);
    file.setFrameBuffer(&pixels[0][0], 1, size_t(width));
    file.writePixels(height);
}

// The floor's reading of both meshes, in milliseconds.
double ReadMeshes(const std::string& mesh1, const std::string& mesh2)
{
    return BestOf(1, [&] {
        if (CountLineFeeds(mesh1) + CountLineFeeds(mesh2) == 0)
            Fail("the meshes are empty");
    });
}

void Print(const char* name, const Run& run, double load, double decode, double encode, const char* size)
{
    const double floor_ms = load + decode + encode;
    const Stages& st = run.stages;
    std::printf("%s: %.1f ms (%s), load %.1f, decode %.1f, draw %.1f, pad %.1f, encode %.1f ms; floor %.1f ms "
                "(read %.1f, decode %.1f, encode %.1f); ratio %.2f; peak %.0f MB; %d threads\n",
                name, run.ms, size, st.load, st.decode, st.draw, st.pad, st.encode, floor_ms, load, decode, encode,
                run.ms / floor_ms, run.peak, DefaultThreadCount());
}

// Ten 2048 x 2048 tiles into the ten tiles of the other layout.
void MeasureUdim(const std::string& dir, const std::string& bake, int runs)
{
    const std::string mesh1 = dir + "/bench-udim-mesh1.obj", mesh2 = dir + "/bench-udim-mesh2.obj";
    const std::string tiles = dir + "/bench-tile.<UDIM>.png", out = dir + "/bench-udim-out.<UDIM>.png";
    const std::string report = dir + "/bench-udim.txt";
    if (!Exists(mesh1) || !Exists(mesh2)) {
        WriteGrid(mesh1, 1024, false, false, TILES);
        WriteGrid(mesh2, 1024, true, false, TILES);
    }
    for (int t = 0; t < TILES; ++t)
        if (!Exists(TileFile(tiles, 1001 + t)) && !WriteNoisyRgbPng(TileFile(tiles, 1001 + t), 2048))
            Fail("cannot write the tiles");
    const std::string command = "\"" + bake + "\" \"" + mesh1 + "\" \"" + mesh2 + "\" \"" + tiles + "\" -o \"" + out +
                                "\" 2>\"" + report + "\"";
    Run best;
    double load = 1e300, decode = 1e300, encode = 1e300;
    for (int round = 0; round < runs; ++round) {
        KeepFaster(&best, Bake(command, report));
        load = std::min(load, ReadMeshes(mesh1, mesh2));
        std::vector<png_byte> rows;
        decode = std::min(decode, BestOf(1, [&] {
            for (int t = 0; t < TILES; ++t)
                if (!DecodeRowsWithLibpng(TileFile(tiles, 1001 + t), rows))
                    Fail("libpng cannot read a tile");
        }));
        std::vector<DeepImage> outputs(TILES);
        for (int t = 0; t < TILES; ++t) {
            char reason[PNG_REASON_SIZE];
            if (!DecodeDeepPNGFile(TileFile(out, 1001 + t).c_str(), &outputs[size_t(t)], reason) ||
                outputs[size_t(t)].bits != 8)
                Fail("an output tile is missing or not 8-bit");
        }
        encode = std::min(encode, BestOf(1, [&] {
            for (const DeepImage& o : outputs)
                if (!EncodeWithLibpng(dir + "/bench-encoded.png", static_cast<const unsigned char*>(o.pixels), o.width,
                                      o.height))
                    Fail("libpng cannot write a tile");
        }));
        for (DeepImage& o : outputs)
            FreeDeepImage(&o);
    }
    Print("udim-bake", best, load, decode, encode, "10 tiles of 2048x2048, 2097152 triangles");
}

// A 4096 x 4096 half RGBA image at the bench's 2M triangles, written as OpenEXR.
void MeasureExr(const std::string& dir, const std::string& bake, int runs)
{
    const std::string mesh1 = dir + "/bench-mesh1.obj", mesh2 = dir + "/bench-mesh2.obj";
    const std::string png = dir + "/bench-texture.png", exr = dir + "/bench-texture.exr";
    const std::string out = dir + "/bench-exr-out.exr", again = dir + "/bench-encoded.exr";
    const std::string report = dir + "/bench-exr.txt";
    if (!Exists(mesh1) || !Exists(mesh2)) {
        WriteGrid(mesh1, 1024, false);
        WriteGrid(mesh2, 1024, true);
    }
    if (!Exists(png) && !WriteNoisyRgbPng(png, 4096))
        Fail("cannot write the texture");
    if (!Exists(exr))
        WriteHalfExr(png, exr);
    const std::string command = "\"" + bake + "\" \"" + mesh1 + "\" \"" + mesh2 + "\" \"" + exr + "\" -o \"" + out +
                                "\" 2>\"" + report + "\"";
    Imf::setGlobalThreadCount(0);  // the floor is the library's work on one thread
    Run best;
    double load = 1e300, decode = 1e300, encode = 1e300;
    for (int round = 0; round < runs; ++round) {
        KeepFaster(&best, Bake(command, report));
        load = std::min(load, ReadMeshes(mesh1, mesh2));
        Imf::Array2D<Imf::Rgba> pixels;
        int width = 0, height = 0;
        decode = std::min(decode, BestOf(1, [&] { ReadRgba(exr, &pixels, &width, &height); }));
        ReadRgba(out, &pixels, &width, &height);
        encode = std::min(encode, BestOf(1, [&] { WriteRgba(again, pixels, width, height); }));
    }
    Print("exr-bake", best, load, decode, encode, "4096x4096 half RGBA, 2097152 triangles");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        Fail("usage: float_bench DATA_DIR TEXWARP_BAKE");
    MeasureUdim(argv[1], argv[2], 3);
    MeasureExr(argv[1], argv[2], 3);
    return 0;
}
