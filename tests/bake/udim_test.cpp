// UDIM tile sets: a set baked into one image and one image into a set, tile by tile;
// bilinear sampling wraps inside a tile; sets that cannot be baked.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "assets/png_decode.h"
#include "assets/png_encode.h"
#include "bake/bake.h"
#include "testlib/command_line.h"
#include "testlib/files.h"

namespace {

constexpr int SIDE = 4;  // every tile's, in pixels

// Quads: quad k spans u in [u0[k], u0[k] + width] and v in [v0[k], v0[k] + height] of
// the file's coordinates; no positions.
std::string Quads(const std::vector<double>& u0, const std::vector<double>& v0, double width, double height = 1)
{
    std::string obj;
    for (size_t k = 0; k < u0.size(); ++k) {
        const double u[4] = {u0[k], u0[k] + width, u0[k] + width, u0[k]};
        const double v[4] = {v0[k], v0[k], v0[k] + height, v0[k] + height};
        for (int c = 0; c < 4; ++c)
            obj += "vt " + std::to_string(u[c]) + " " + std::to_string(v[c]) + "\n";
    }
    for (size_t k = 0; k < u0.size(); ++k) {
        obj += "f";
        for (size_t c = k * 4 + 1; c <= k * 4 + 4; ++c)
            obj += " " + std::to_string(c) + "/" + std::to_string(c);
        obj += "\n";
    }
    return obj;
}

// Tile pixels: red the tile number's last two digits, green by column, blue by row.
std::vector<uint16_t> TilePixels(int tile, int bits)
{
    std::vector<uint16_t> pixels;
    const int scale = bits == 16 ? 257 : 1;
    for (int y = 0; y < SIDE; ++y)
        for (int x = 0; x < SIDE; ++x)
            for (int value : {tile % 100, 10 + x * 40, 10 + y * 40, 255})
                pixels.push_back(uint16_t(value * scale));
    return pixels;
}

void WriteTile(const std::string& path, int tile, int bits)
{
    const std::vector<uint16_t> wide = TilePixels(tile, bits);
    std::vector<uint8_t> narrow(wide.begin(), wide.end());
    char reason[PNG_REASON_SIZE];
    const void* pixels = bits == 16 ? static_cast<const void*>(wide.data()) : narrow.data();
    ASSERT_TRUE(WritePNGFile(path.c_str(), PngOutput{pixels, SIDE, SIDE, bits, false, nullptr, nullptr, 1, nullptr},
                             reason))
        << reason;
}

// The image's pixels as 16-bit values.
std::vector<uint16_t> Pixels(const std::string& path, int* bits = nullptr)
{
    DeepImage image{};
    char reason[PNG_REASON_SIZE];
    EXPECT_TRUE(DecodeDeepPNGFile(path.c_str(), &image, reason)) << path << ": " << reason;
    std::vector<uint16_t> values;
    for (size_t i = 0; image.pixels && i < size_t(image.width) * size_t(image.height) * 4; ++i)
        values.push_back(image.bits == 16 ? static_cast<const uint16_t*>(image.pixels)[i]
                                          : static_cast<const uint8_t*>(image.pixels)[i]);
    if (bits)
        *bits = image.bits;
    FreeDeepImage(&image);
    return values;
}

// A set of three tiles (one of them 16-bit) laid side by side in one image, and that
// image laid out again as the set: each tile comes through whole, at the deepest depth,
// and only the tiles the layout covers are written.
TEST(Udim, ASetIntoOneImageAndOneImageIntoASet)
{
    TempDir dir;
    const std::string d = dir.path;
    const int tiles[3] = {1001, 1002, 1011};
    for (int tile : tiles)
        WriteTile(d + "t." + std::to_string(tile) + ".png", tile, tile == 1011 ? 16 : 8);
    WriteWholeFile(d + "set.obj", Quads({0, 1, 0}, {0, 0, 1}, 1));
    WriteWholeFile(d + "strip.obj", Quads({0, 1 / 3.0, 2 / 3.0}, {0, 0, 0}, 1 / 3.0));
    ASSERT_EQ(Bake(d + "set.obj " + d + "strip.obj " + d + "t.<UDIM>.png -q --padding 0 --size 12x4 -o " + d +
                   "strip.png"),
              BAKE_DONE);
    int bits = 0;
    const std::vector<uint16_t> strip = Pixels(d + "strip.png", &bits);
    EXPECT_EQ(bits, 16);
    for (int k = 0; k < 3; ++k) {
        const std::vector<uint16_t> tile = TilePixels(tiles[k], 16);
        std::vector<uint16_t> part;
        for (int y = 0; y < SIDE; ++y)
            part.insert(part.end(), strip.begin() + (y * 12 + k * SIDE) * 4, strip.begin() + (y * 12 + k * SIDE + SIDE) * 4);
        EXPECT_EQ(part, tile) << tiles[k];
    }

    // The tiles are made side by side on three workers; the report still reads tile after
    // tile, and a tile that cannot be written fails the bake by name.
    const std::string back = d + "strip.obj " + d + "set.obj " + d + "strip.png --padding 0 --size 4 --threads 3 -o ";
    testing::internal::CaptureStderr();
    ASSERT_EQ(Bake(back + d + "back.<UDIM>.png"), BAKE_DONE);
    const std::string said = testing::internal::GetCapturedStderr();
    size_t at = 0;
    for (int tile : tiles)
        for (const std::string& line : {"tile " + std::to_string(tile) + ": drawn", "back." + std::to_string(tile)}) {
            at = said.find(line, at);
            EXPECT_NE(at, std::string::npos) << line << " in order in:\n" << said;
        }
    std::vector<std::string> written;
    for (const auto& entry : std::filesystem::directory_iterator(d))
        if (entry.path().filename().string().rfind("back.", 0) == 0)
            written.push_back(entry.path().filename().string());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, std::vector<std::string>({"back.1001.png", "back.1002.png", "back.1011.png"}));
    for (int tile : tiles)
        EXPECT_EQ(Pixels(d + "back." + std::to_string(tile) + ".png"), TilePixels(tile, 16)) << tile;
    std::filesystem::create_directory(d + "bad.1002.png");
    testing::internal::CaptureStderr();
    EXPECT_EQ(Bake(back + d + "bad.<UDIM>.png"), BAKE_OUTPUT);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("bad.1002.png' not written"), std::string::npos);
}

// Drawn at twice its size, tile 1002's first column blends with its own last one
// (REPEAT inside the tile), not with tile 1001's, which is black.
TEST(Udim, BilinearSamplingWrapsInsideItsTile)
{
    TempDir dir;
    const std::string d = dir.path;
    std::vector<uint8_t> black(SIDE * SIDE * 4, 0), columns;
    for (int y = 0; y < SIDE; ++y)
        for (int x = 0; x < SIDE; ++x)
            for (int value : {x == 0 ? 100 : x == SIDE - 1 ? 200 : 0, 0, 0, 255})
                columns.push_back(uint8_t(value));
    char reason[PNG_REASON_SIZE];
    ASSERT_TRUE(WritePNGFile((d + "e.1001.png").c_str(), PngOutput{black.data(), SIDE, SIDE, 8, false, nullptr, nullptr, 1, nullptr},
                             reason));
    ASSERT_TRUE(WritePNGFile((d + "e.1002.png").c_str(), PngOutput{columns.data(), SIDE, SIDE, 8, false, nullptr, nullptr, 1, nullptr},
                             reason));
    WriteWholeFile(d + "second.obj", Quads({1}, {0}, 1));
    WriteWholeFile(d + "first.obj", Quads({0}, {0}, 1));
    ASSERT_EQ(Bake(d + "second.obj " + d + "first.obj " + d + "e.<UDIM>.png -q --padding 0 --size 8 -o " + d + "e.png"),
              BAKE_DONE);
    const std::vector<uint16_t> out = Pixels(d + "e.png");
    EXPECT_EQ(out[0], 125);  // 0.75 of column 0 and 0.25 of column 3, as GL rounds
    EXPECT_EQ(out[7 * 4], 175);  // and the other way at the right edge
}

// Quads inside tiles 1002 and 1011, and beyond the grid's right edge and its last row
// (read from the nearest column's tile 1010 and the last whole row's tile 9981), each
// the middle half of its tile: drawn at twice the size, nearest, every pixel is its
// tile's texel from the middle two rows and columns.
TEST(Udim, TrianglesInsideOneTileReadThatTile)
{
    TempDir dir;
    const std::string d = dir.path;
    const int tiles[4] = {1002, 1011, 1010, 9981};
    for (int tile : {1002, 1011, 1010, 9981, 9991})
        WriteTile(d + "t." + std::to_string(tile) + ".png", tile, 8);
    WriteWholeFile(d + "inside.obj", Quads({1.25, 0.25, 10.25, 0.25}, {0.25, 1.25, 0.25, 899.25}, 0.5, 0.5));
    WriteWholeFile(d + "quarters.obj", Quads({0, 0.25, 0.5, 0.75}, {0, 0, 0, 0}, 0.25));
    ASSERT_EQ(Bake(d + "inside.obj " + d + "quarters.obj " + d +
                   "t.<UDIM>.png -q --padding 0 --filter nearest --size 16x4 -o " + d + "out.png"),
              BAKE_DONE);
    const std::vector<uint16_t> out = Pixels(d + "out.png");
    std::vector<uint16_t> expected;
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 16; ++x) {
            const std::vector<uint16_t> tile = TilePixels(tiles[x / 4], 8);
            const size_t texel = size_t((1 + y / 2) * SIDE + 1 + x % 4 / 2) * 4;
            expected.insert(expected.end(), tile.begin() + long(texel), tile.begin() + long(texel) + 4);
        }
    EXPECT_EQ(out, expected);
}

// A triangle over tiles 1001, 1002 and 1011 whose long edge passes exactly through tile
// 1012's corner bakes without that tile; without 1011 it is refused.
TEST(Udim, ATileTouchedIsNotATileReached)
{
    TempDir dir;
    const std::string d = dir.path;
    for (int tile : {1001, 1002, 1011})
        WriteTile(d + "s." + std::to_string(tile) + ".png", tile, 8);
    WriteWholeFile(d + "wide.obj", "vt 0.125 0.125\nvt 1.875 0.125\nvt 0.125 1.875\nf 1/1 2/2 3/3\n");
    WriteWholeFile(d + "small.obj", "vt 0.0625 0.0625\nvt 0.9375 0.0625\nvt 0.0625 0.9375\nf 1/1 2/2 3/3\n");
    EXPECT_EQ(Bake(d + "wide.obj " + d + "small.obj " + d + "s.<UDIM>.png -q --size 8 -o " + d + "s.png"), BAKE_DONE);
    std::filesystem::remove(d + "s.1011.png");
    testing::internal::CaptureStderr();
    EXPECT_EQ(Bake(d + "wide.obj " + d + "small.obj " + d + "s.<UDIM>.png -q --size 8 -o " + d + "s.png"), BAKE_INPUT);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("reaches tile 1011"), std::string::npos);
}

// Sets that cannot be baked: exit 3 naming the file or tile, and nothing written.
TEST(Udim, SetsThatCannotBeBaked)
{
    TempDir dir;
    const std::string d = dir.path;
    WriteTile(d + "a.1001.png", 1001, 8);
    WriteTile(d + "b.1001.png", 1001, 8);
    WriteTile(d + "b.1000.png", 1000, 8);
    WriteTile(d + "c.1001.png", 1001, 8);
    WriteTile(d + "c.10o2.png", 1001, 8);
    WriteWholeFile(d + "two.obj", Quads({0, 1}, {0, 0}, 1));
    WriteWholeFile(d + "one.obj", Quads({0, 0}, {0, 0}, 1));
    const std::string pair = d + "two.obj " + d + "one.obj ";
    const struct {
        std::string line;
        int code;
        const char* said;
    } rows[] = {
        {pair + d + "a.<UDIM>.png -o " + d + "out.png", BAKE_INPUT, "reaches tile 1002, which has no image ('"},
        {pair + d + "b.<UDIM>.png -o " + d + "out.png", BAKE_INPUT, "b.1000.png' matches"},
        {pair + d + "c.<UDIM>.png -o " + d + "out.png", BAKE_INPUT, "'10o2' is not a tile number"},
        {pair + d + "none.<UDIM>.png -o " + d + "out.png", BAKE_INPUT, "no file matches"},
        {pair + d + "<UDIM>/a.png -o " + d + "out.png", BAKE_INPUT, "<UDIM> may stand only in the file's name"},
        {d + "one.obj " + d + "two.obj " + d + "a.1001.png --misses " + d + "m.png -o " + d + "out.<UDIM>.png",
         BAKE_USAGE, "--misses must have <UDIM>"},
    };
    for (const auto& row : rows) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(Bake(row.line), row.code) << row.line;
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find(row.said), std::string::npos) << said;
        for (const auto& entry : std::filesystem::directory_iterator(d))
            EXPECT_EQ(entry.path().filename().string().rfind("out", 0), std::string::npos) << row.line;
    }
}

}  // namespace
