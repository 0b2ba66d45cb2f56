// Remap view drawn into an offscreen context and compared with the frame it must give.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "assets/gl_api.h"
#include "assets/mesh_pair.h"
#include "assets/png_decode.h"
#include "assets/png_encode.h"
#include "assets/texture.h"
#include "support/log.h"
#include "support/settings.h"
#include "support/window_state.h"
#include "testlib/command_line.h"
#include "testlib/files.h"
#include "testlib/offscreen_gl.h"
#include "view/remap_view.h"

namespace {

constexpr int BUFFER_W = 400, BUFFER_H = 300;

// Whether two RGBA words differ by more than 1 in a channel.
bool FarApart(uint32_t a, uint32_t b)
{
    for (int shift = 0; shift < 32; shift += 8)
        if (std::abs(int(a >> shift & 255) - int(b >> shift & 255)) > 1)
            return true;
    return false;
}
constexpr uint32_t BLUE = 0xFFFF0000, WHITE = 0xFFFFFFFF;

class RemapView : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(CreateOffscreenGL(BUFFER_W, BUFFER_H)); }
    static void TearDownTestSuite() { DestroyOffscreenGL(); }
    void SetUp() override { Resize(BUFFER_W, BUFFER_H); }
    void TearDown() override
    {
        ClearRemapTable();
        const GLuint name = GLuint(remap_texture.name);
        glDeleteTextures(1, &name);
        remap_texture.name = -1;
        remap_texture.width = remap_texture.height = 0;
    }
    static void Resize(int width, int height)
    {
        window_state.window_width = width;
        window_state.window_height = height;
        glViewport(0, 0, width, height);
    }
    // One frame as GL holds it (bottom row first), RGBA words with alpha set.
    static std::vector<uint32_t> Draw()
    {
        DrawRemapView();
        std::vector<uint32_t> frame(size_t(window_state.window_width) * window_state.window_height);
        glReadPixels(0, 0, window_state.window_width, window_state.window_height, GL_RGBA, GL_UNSIGNED_BYTE,
                     frame.data());
        for (uint32_t& pixel : frame)
            pixel |= 0xFF000000;
        return frame;
    }
    // The frame for an image of w x h drawn whole: `inside(x, y)` in the image's
    // rectangle, white bands around it reaching the client's edges, blue elsewhere.
    // Gives the number of pixels of `frame` that differ from it by more than 1 in a channel
    // (GL rounds texture coordinates to 1/256 of a texel; the bake computes them exactly).
    static int Differing(const std::vector<uint32_t>& frame, int w, int h,
                         const std::function<uint32_t(int, int)>& inside)
    {
        std::vector<uint32_t> expected;
        for (int y = window_state.window_height - 1; y >= 0; --y)
            for (int x = 0; x < window_state.window_width; ++x) {
                const bool band = x == 19 || y == 19 || x == 20 + w || y == 20 + h;
                const bool in = x >= 20 && x < 20 + w && y >= 20 && y < 20 + h;
                expected.push_back(band ? WHITE : in ? inside(x - 20, y - 20) : BLUE);
            }
        return expected.size() != frame.size() ? -1 : std::inner_product(frame.begin(), frame.end(), expected.begin(), 0,
                                                                         std::plus<>(), FarApart);
    }
};

// An image of 8 x 8 blocks, each its own colour, and a mesh of 128 triangles, each
// coloured by one block (its source corners at the block's centre). Target corners lie
// on pixel centres and are jittered, so that shared edges run through centres in every
// direction: a centre drawn by the wrong triangle, twice or not at all shows. The bake
// gives what GL gives, at one sample a pixel (the viewer's frame) and at 3 x 3 (GL
// drawing the table at three times the size, its samples averaged as the bake does).
TEST_F(RemapView, BakeCoversWhatGLCoversAtOneAndThreeByThreeSamples)
{
    constexpr int S = 64;
    std::vector<uint32_t> pixels(S * S);
    for (int i = 0; i < S * S; ++i) {
        const uint32_t block = uint32_t((i / S / 8) * 8 + i % S / 8);
        pixels[i] = 0xFF000000u | (block * 37 % 256) | (block * 91 % 256) << 8 | (block * 13 + 60) % 256 << 16;
    }
    std::mt19937 random(11);
    std::string mesh;
    char line[96];
    for (int y = 0; y <= 8; ++y)
        for (int x = 0; x <= 8; ++x) {
            const bool edge = x == 0 || y == 0 || x == 8 || y == 8;
            const int jx = edge || random() % 3 == 0 ? 0 : int(random() % 7) - 3;
            const int jy = edge || random() % 3 == 0 ? 0 : int(random() % 7) - 3;
            // Inside the image: GL clips at the 3 x 3 viewport's edge, the bake need not.
            const int px = std::min(x * 8, S - 1) + jx, py = std::min(y * 8, S - 1) + jy;
            std::snprintf(line, sizeof line, "vt %.9g %.9g\n", (px + 0.5) / S, 1 - (py + 0.5) / S);
            mesh += line;
        }
    std::string source;
    for (int k = 0; k < 64; ++k) {
        std::snprintf(line, sizeof line, "vt %.9g %.9g\n", (k % 8 * 8 + 4.0) / S, 1 - (k / 8 * 8 + 4.0) / S);
        source += line;
    }
    source += "vt 0 1\n";
    for (int q = 0; q < 64; ++q) {
        const int a = q / 8 * 9 + q % 8 + 1, b = a + 1, c = a + 9, d = a + 10;
        // Every 32nd triangle samples the image's corner, where GL's REPEAT blends the
        // four corner blocks.
        const int t0 = 2 * q % 32 == 5 ? 65 : 2 * q % 64 + 1, t1 = (2 * q + 1) % 32 == 5 ? 65 : (2 * q + 1) % 64 + 1;
        const bool other = random() % 2;
        std::snprintf(line, sizeof line, "f 1/%d 1/%d 1/%d\nf 1/%d 1/%d 1/%d\n", a, b, other ? c : d, other ? b : a,
                      d, c);
        mesh += line;
        std::snprintf(line, sizeof line, "f 1/%d 1/%d 1/%d\nf 1/%d 1/%d 1/%d\n", t0, t0, t0, t1, t1, t1);
        source += line;
    }
    TempDir dir;
    WriteWholeFile(dir.File("source.obj"), source);
    WriteWholeFile(dir.File("target.obj"), mesh);
    char reason[PNG_REASON_SIZE];
    ASSERT_TRUE(WritePNGFile(dir.File("blocks.png").c_str(), PngOutput{pixels.data(), S, S, 8, false, nullptr, nullptr, 1, nullptr},
                             reason));
    const std::string inputs = dir.File("source.obj") + " " + dir.File("target.obj") + " " + dir.File("blocks.png");
    const auto baked = [&](const std::string& options) {
        DeepImage image{};
        EXPECT_EQ(Bake(inputs + " -q --padding 0 " + options + " -o " + dir.File("baked.png")), BAKE_DONE);
        EXPECT_TRUE(DecodeDeepPNGFile(dir.File("baked.png").c_str(), &image, reason)) << reason;
        std::vector<uint32_t> words(static_cast<const uint32_t*>(image.pixels),
                                    static_cast<const uint32_t*>(image.pixels) + size_t(S) * S);
        FreeDeepImage(&image);
        return words;
    };
    const std::vector<uint32_t> one = baked("--background 0,0,255,255"), nine = baked("--samples 3");
    LoadRemapMeshesFromBytes("s", source.data(), source.size(), "t", mesh.data(), mesh.size());
    ASSERT_TRUE(remap_texture.Upload(pixels.data(), S, S, TEX_LINEAR));
    EXPECT_EQ(Differing(Draw(), S, S, [&](int x, int y) { return one[size_t(y) * S + x]; }), 0);

    // 3 x 3: GL draws the table at three times the size on a clear of alpha 0 (the image is
    // opaque), and its samples are averaged as the bake averages them.
    constexpr int N = 3;
    std::vector<uint32_t> gl(S * N * S * N);
    glViewport(0, 0, S * N, S * N);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0, S, S, 0, -1, 1);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    glEnable(GL_TEXTURE_2D);
    DrawRemapTable(S, S, 0, 0);
    glReadPixels(0, 0, S * N, S * N, GL_RGBA, GL_UNSIGNED_BYTE, gl.data());
    int differing = 0;
    for (int y = 0; y < S; ++y)
        for (int x = 0; x < S; ++x) {
            uint32_t sum[3] = {0, 0, 0}, covered = 0, expected = 0;
            for (int k = 0; k < N * N; ++k) {
                const uint32_t sample = gl[size_t(S * N - 1 - (y * N + k / N)) * S * N + size_t(x * N + k % N)];
                covered += sample >> 24 != 0;
                for (int c = 0; c < 3 && sample >> 24; ++c)
                    sum[c] += sample >> (8 * c) & 255;
            }
            for (int c = 0; c < 3 && covered; ++c)
                expected |= (sum[c] + covered / 2) / covered << (8 * c);
            expected |= (255 * covered + 4) / 9 << 24;
            differing += FarApart(nine[size_t(y) * S + x], expected) || nine[size_t(y) * S + x] >> 24 != expected >> 24;
        }
    EXPECT_EQ(differing, 0);
}

// The example through plxInit, as the viewer starts: the settings are read again but the
// live placement stands, and the frame is the bake's image inside the bands (one sample,
// no padding, blue background), with the islands where the target layout puts them,
// at any window size.
TEST_F(RemapView, ExampleIsTheBakeInsideTheBandsAndInitKeepsTheLivePlacement)
{
    TempDir program;
    const std::string examples = TEXWARP_EXAMPLES, baked = program.File("baked.png");
    ASSERT_EQ(Bake(examples + "/mesh1.obj " + examples + "/mesh2.obj " + examples +
                   "/texture.png -q --padding 0 --background 0,0,255,255 -o " + baked),
              BAKE_DONE);
    DeepImage image{};
    char reason[PNG_REASON_SIZE];
    ASSERT_TRUE(DecodeDeepPNGFile(baked.c_str(), &image, reason)) << reason;

    WriteWholeFile(program.File("config.txt"), "version 1\nwindow_width 333\nwindow_height 222\nwindow_x 1\n");
    SetProgramDirectory(program.File("texwarp.exe").c_str());
    LogOpen(program.File("log.txt").c_str());
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(examples);
    plxInit();
    std::filesystem::current_path(previous);
    SetProgramDirectory("");
    const auto log = ReadLines(program.File("log.txt"));
    EXPECT_EQ(log.front() + "|" + log.back(), "reading config|done");
    ASSERT_EQ(std::vector<int>({window_state.window_width, window_state.window_height, window_state.window_x,
                                remap_texture.width, remap_texture.height, image.width, image.height}),
              std::vector<int>({BUFFER_W, BUFFER_H, 0, 256, 256, 256, 256}));
    // Culling and the depth test would hide a triangle; the frame turns them off.
    EXPECT_TRUE(glIsEnabled(GL_CULL_FACE) && glIsEnabled(GL_DEPTH_TEST));
    glDepthFunc(GL_NEVER);
    const std::vector<uint32_t> frame = Draw();
    const auto* pixels = static_cast<const uint32_t*>(image.pixels);
    const auto texel = [&](int x, int y) { return pixels[y * 256 + x] | 0xFF000000; };
    EXPECT_EQ(Differing(frame, 256, 256, texel), 0);
    // F moved down and right (and its glyph's stem), R turned a quarter clockwise, 4
    // mirrored, 7 at half size; nothing at (140, 80).
    const auto at = [&](int x, int y) { return frame[size_t(BUFFER_H - 1 - y) * BUFFER_W + x]; };
    EXPECT_EQ(std::vector<uint32_t>({at(161, 161), at(188, 212), at(134, 161), at(262, 33), at(58, 58), at(140, 80)}),
              std::vector<uint32_t>({0xFF2828DC, WHITE, 0xFF3CB428, 0xFF1496F0, 0xFFC83CBE, BLUE}));
    // Resized, the image stays where it is and the bands reach the new edges; records
    // marked undrawable are skipped.
    Resize(330, 240);
    EXPECT_EQ(Differing(Draw(), 256, 256, texel), 0);
    std::fill(remap_table.drawable, remap_table.drawable + remap_table.count, uint8_t(0));
    EXPECT_EQ(Differing(Draw(), 256, 256, [](int, int) { return BLUE; }), 0);
    FreeDeepImage(&image);
}

}  // namespace
