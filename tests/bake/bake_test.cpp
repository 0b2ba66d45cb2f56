// texwarp-bake: the command line's outcomes and messages (the error when there is no GL
// among them), 16 bits end to end, tiles, partly covered pixels, edge padding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "assets/gl_api.h"
#include "assets/png_encode.h"
#include "bake/bake.h"
#include "bake/offscreen_gl.h"
#include "bake/padding.h"
#include "fuzz/png_writer.h"
#include "testlib/command_line.h"
#include "testlib/files.h"

namespace {

const char kIdentity[] = "vt 0 1\nvt 1 1\nvt 1 0\nvt 0 0\nf 1/1 2/2 3/3 4/4\n";  // the unit square

DeepImage Decoded(const std::string& path)
{
    DeepImage image{};
    char reason[PNG_REASON_SIZE];
    EXPECT_TRUE(DecodeDeepPNGFile(path.c_str(), &image, reason)) << path << ": " << reason;
    return image;
}

TEST(Bake, CommandLinesAndTheirOutcomes)
{
    TempDir dir;  // its path has no spaces
    const std::string d = dir.path, out = d + "out.png", several = d + "several";
    WriteWholeFile(d + "m.obj", kIdentity);
    const uint32_t pixels[4] = {0xFF0000FF, 0xFF00FF00, 0xFFFF0000, 0xFFFFFFFF};
    char reason[PNG_REASON_SIZE];
    ASSERT_TRUE(WritePNGFile((d + "i.png").c_str(), PngOutput{pixels, 2, 2, 8, false, nullptr, nullptr}, reason));
    // libpng refuses an image of no width: no file, and a failure.
    EXPECT_FALSE(WritePNGFile((d + "none.png").c_str(), PngOutput{pixels, 0, 2, 8, false, nullptr, nullptr}, reason) ||
                 std::filesystem::exists(d + "none.png"));
    WriteWholeFile(d + "broken.png", "\x89PNG\r\n\x1a\nnot really");
    std::filesystem::create_directories(d + "sub");
    WriteWholeFile(d + "sub/i.png", ReadWholeFile(d + "i.png"));
#ifndef _WIN32
    // No GL surface of that size anywhere: the error names every way tried, and none stays behind.
    std::string error;
    EXPECT_FALSE(CreateOffscreenGL(-1, -1, &error));
    for (const char* tried : {"tried EGL surfaceless (Mesa): ", "; EGL device: ", "; EGL default display: "})
        EXPECT_NE(error.find(tried), std::string::npos) << error;
#endif
    GLint largest = 0;  // an image as high as GL's largest texture still goes up
    ASSERT_TRUE(CreateOffscreenGL(8, 8, nullptr));
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &largest);
    DestroyOffscreenGL();
    WriteWholeFile(d + "tall.png", EncodePng({1, largest, 2, 8, false, std::vector<uint8_t>(size_t(largest) * 3, 9), {}, {}}));
    WriteWholeFile(d + "half.obj", "vt 0 1\nvt 1 1\nvt 1 0\nf 1/1 2/2 3/3\n");
    const std::string mmi = d + "m.obj " + d + "m.obj " + d + "i.png ", to = " -o " + out;
    const struct {
        std::string line;
        int code;
        std::string made;  // the one output file there is afterwards, if any
        std::string said;  // part of what it writes to stdout and stderr
    } rows[] = {
        {"", BAKE_USAGE, "", "usage: texwarp-bake"}, {mmi, BAKE_USAGE, "", ""},
        {d + "m.obj " + d + "m.obj" + to, BAKE_USAGE, "", ""}, {mmi + "-o", BAKE_USAGE, "", ""},
        {mmi + d + "sub/i.png -o " + several, BAKE_USAGE, "", ""},  // one name twice
        {"--help", BAKE_DONE, "", "usage: texwarp-bake"},
        {d + "none.obj " + d + "m.obj " + d + "i.png" + to, BAKE_INPUT, "", "none.obj' not found"},
        {d + "m.obj " + d + "none.obj " + d + "i.png" + to, BAKE_INPUT, "", ""},
        {d + "m.obj " + d + "m.obj " + d + "none.png" + to, BAKE_INPUT, "", ""},
        {d + "m.obj " + d + "m.obj " + d + "broken.png" + to, BAKE_INPUT, "", ""},
        {mmi + "-o " + d + "no-folder/out.png", BAKE_OUTPUT, "", "out.png' not written: No such file or directory"},
        {mmi + "-o " + d + "sub", BAKE_OUTPUT, "", ""},
        {mmi + d + "broken.png -o " + several, BAKE_INPUT, several + "/i.png", ""},  // what was done stays
        {d + "m.obj " + d + "m.obj " + d + "tall.png -q --size 2" + to, BAKE_DONE, out, ""},
        {mmi + "-q --size 1x272 --samples 15" + to, BAKE_DONE, out, ""},  // one pixel short of two tiles high
        {d + "m.obj " + d + "half.obj " + d + "i.png" + to, BAKE_DONE, out, "triangle counts differ"},
        {d + "m.obj " + d + "half.obj " + d + "i.png" + to, BAKE_DONE, out, "meshes read: 2 triangles, 1 not drawable"},
        {"--size=3x5 " + mmi + "--filter=nearest" + to + " --samples 3 --padding 0 --background 1,2,3,4", BAKE_DONE, out,
         ""},
    };
    // Options that are not understood come first, so the last row's output is left to read.
    std::vector<std::string> lines;
    for (const char* bad : {"--bogus", "--samples 0", "--samples=16", "--size 0", "--size 8x", "--size 8x65537",
                            "--padding -1", "--background 1,2,3", "--background 1,2,3,4,5", "--background 1,2,3,256",
                            "--filter cubic", "--padding 4z", "--samples +3"})
        lines.push_back(mmi + bad + to);
    const size_t bad = lines.size();
    for (const auto& row : rows)
        lines.push_back(row.line);
    for (size_t i = 0; i < lines.size(); ++i) {
        std::filesystem::remove_all(several);
        std::filesystem::remove(out);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(Bake(lines[i]), i < bad ? BAKE_USAGE : rows[i - bad].code) << lines[i];
        const std::string said = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find(i < bad ? "texwarp-bake: " : rows[i - bad].said), std::string::npos) << said;
        std::string made;  // outputs and half-written files
        for (const auto& entry : std::filesystem::recursive_directory_iterator(d)) {
            const std::string name = entry.path().generic_string();
            if (entry.is_regular_file() && (name == std::filesystem::path(out).generic_string() ||
                                            name.find("several") != std::string::npos ||
                                            name.find(".partial") != std::string::npos))
                made += name;
        }
        EXPECT_EQ(made, i < bad ? "" : std::filesystem::path(rows[i - bad].made).generic_string()) << lines[i];
    }
    DeepImage three_by_five = Decoded(out);
    EXPECT_EQ(std::vector<int>({three_by_five.width, three_by_five.height}), std::vector<int>({3, 5}));
    FreeDeepImage(&three_by_five);
}

TEST(Bake, SixteenBitsGreyTilesAndPartlyCoveredPixels)
{
    TempDir dir;
    const std::string mesh = dir.File("square.obj"), image = dir.File("ramp.png"), out = dir.File("out.png");
    const std::string mmi = mesh + " " + mesh + " " + image + " -q -o " + out + " ";
    WriteWholeFile(mesh, kIdentity);
    // Every 16-bit value once, grey, through the identity: back within 2, still grey.
    std::vector<uint16_t> ramp(256 * 256 * 4);
    for (int i = 0; i < 256 * 256 * 4; ++i)
        ramp[i] = i % 4 == 3 ? 65535 : uint16_t(i / 4);
    char reason[PNG_REASON_SIZE];
    ASSERT_TRUE(WritePNGFile(image.c_str(), PngOutput{ramp.data(), 256, 256, 16, true, nullptr, nullptr}, reason));
    ASSERT_EQ(Bake(mmi + "--padding 0"), BAKE_DONE);
    DeepImage baked = Decoded(out), input = Decoded(image);
    EXPECT_EQ(static_cast<const uint16_t*>(input.pixels)[4 * 258], 258);  // in the machine's byte order
    FreeDeepImage(&input);
    int worst = baked.bits == 16 && baked.grey ? 0 : 65536;
    for (int i = 0; i < 256 * 256 * 4; ++i)
        worst = std::max(worst, std::abs(int(static_cast<const uint16_t*>(baked.pixels)[i]) - int(ramp[i])));
    EXPECT_LE(worst, 2);
    FreeDeepImage(&baked);

    // Wider than the largest tile: two tiles across, the columns of the 2 x 1 RGB image.
    const uint32_t two[2] = {0xFF0000FF, 0xFFFF0000};
    WriteWholeFile(image, EncodePng({2, 1, 2, 8, false, {255, 0, 0, 0, 0, 255}, {}, {}}));
    ASSERT_EQ(Bake(mmi + "--size 4100x2 --filter nearest --padding 0"), BAKE_DONE);
    DeepImage wide = Decoded(out);
    int wrong = wide.width == 4100 ? 0 : -1;
    for (int i = 0; i < 4100 * 2 && !wrong; ++i)
        wrong += static_cast<const uint32_t*>(wide.pixels)[i] != two[i % 4100 < 2050 ? 0 : 1];
    EXPECT_EQ(wrong, 0);
    FreeDeepImage(&wide);

    // Half the square: the pixels along the diagonal are partly covered. Their alpha is
    // the covered share without padding, and full with it; their colour stays the image's.
    WriteWholeFile(mesh, "vt 0 1\nvt 1 1\nvt 0 0\nf 1/1 2/2 3/3\n");
    for (const std::string padding : {"0", "2"}) {
        ASSERT_EQ(Bake(mmi + "--size 16 --samples 4 --filter nearest --padding " + padding), BAKE_DONE);
        DeepImage half = Decoded(out);
        const auto* row5 = static_cast<const uint32_t*>(half.pixels) + 5 * 16;
        std::string alphas;  // F full, P partial, 0 none
        for (int x = 0; x < 16; ++x)
            alphas += row5[x] >> 24 == 255 ? 'F' : row5[x] >> 24 == 0 ? '0' : 'P';
        EXPECT_EQ(alphas, padding == "0" ? "FFFFFFFFFFP00000" : "FFFFFFFFFFFFFFF0") << "padding " << padding;
        EXPECT_EQ(row5[10] & 0xFFFFFF, 0xFF0000u);  // blue, not darkened
        FreeDeepImage(&half);
    }
}

TEST(Bake, PaddingTakesTheNearestIslandValueRingByRing)
{
    // Three islands, A, B and C, in a 7 x 5 image of one byte a pixel; filled pixels in
    // lower case. A neighbour left, right, above or below wins over a diagonal one.
    const std::string start = "C......" "......." ".A..B.." "......." ".......";
    const std::pair<int, std::string> rows[] = {
        {0, start},
        {1, "Cc....." "caabbb." "aAabBb." "aaabbb." "......."},
        {2, "Cccbbbb" "caabbbb" "aAabBbb" "aaabbbb" "aaabbbb"},
    };
    for (const auto& [reach, expected] : rows) {
        std::string pixels;
        std::vector<uint8_t> islands;
        for (const char c : start) {
            pixels += c == '.' ? '\0' : c;
            islands.push_back(c != '.');
        }
        const int64_t filled = PadIslands(reinterpret_cast<unsigned char*>(&pixels[0]), 1, islands.data(), 7, 5, reach);
        std::string picture;
        for (size_t i = 0; i < 35; ++i)
            picture += start[i] != '.' ? start[i] : !islands[i] ? (pixels[i] ? '?' : '.') : char(std::tolower(pixels[i]));
        EXPECT_EQ(picture, expected) << "reach " << reach;
        EXPECT_EQ(filled, std::count_if(expected.begin(), expected.end(), [](char c) { return std::islower(c); }));
    }
}

}  // namespace
