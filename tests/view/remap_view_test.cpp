// Remap view drawn into an offscreen context and compared with the frame it must give.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "assets/gl_api.h"
#include "assets/mesh_pair.h"
#include "assets/png_decode.h"
#include "assets/texture.h"
#include "testlib/offscreen_gl.h"
#include "support/log.h"
#include "support/settings.h"
#include "support/window_state.h"
#include "testlib/command_line.h"
#include "testlib/files.h"
#include "view/remap_view.h"

namespace {

constexpr int BUFFER_W = 400, BUFFER_H = 300;
constexpr uint32_t BLUE = 0xFFFF0000, WHITE = 0xFFFFFFFF;
const std::string kWholeImage = "vt 0 1\nvt 1 1\nvt 1 0\nvt 0 0\nf 1/1 2/2 3/3 4/4\n";  // the unit square

class RemapView : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(CreateOffscreenGL(BUFFER_W, BUFFER_H, nullptr)); }
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
    // Gives the number of pixels of `frame` that differ from it.
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
                                                                         std::plus<>(), std::not_equal_to<>());
    }
};

TEST_F(RemapView, ImageOfAnySizeComesBackTexelForTexelInsideItsBands)
{
    LoadRemapMeshesFromBytes("s", kWholeImage.data(), kWholeImage.size(), "t", kWholeImage.data(), kWholeImage.size());
    constexpr int W = 300, H = 200;  // not powers of two: no rescaling on the way
    std::vector<uint32_t> pixels(W * H);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = 0xFF000000u | (uint32_t(i) * 2654435761u >> 8);
    ASSERT_TRUE(remap_texture.Upload(pixels.data(), W, H, TEX_LINEAR));
    const auto texel = [&](int x, int y) { return pixels[size_t(y) * W + x]; };
    EXPECT_EQ(Differing(Draw(), W, H, texel), 0);
    // Resized, the image stays where it is and the bands reach the new edges.
    Resize(330, 240);
    EXPECT_EQ(Differing(Draw(), W, H, texel), 0);
    std::fill(remap_table.drawable, remap_table.drawable + remap_table.count, uint8_t(0));
    EXPECT_EQ(Differing(Draw(), W, H, [](int, int) { return BLUE; }), 0);  // records marked undrawable
}

// The example through plxInit, as the viewer starts: the settings are read again but the
// live placement stands, and the frame is the bake's image inside the bands (one sample,
// no padding, blue background), with the islands where the target layout puts them.
TEST_F(RemapView, ExampleIsTheBakeInsideTheBandsAndInitKeepsTheLivePlacement)
{
    TempDir program;
    const std::string examples = TEXWARP_EXAMPLES, baked = program.File("baked.png");
    DestroyOffscreenGL();  // the bake makes its own context
    ASSERT_EQ(Bake(examples + "/mesh1.obj " + examples + "/mesh2.obj " + examples +
                   "/texture.png -q --padding 0 --background 0,0,255,255 -o " + baked),
              BAKE_DONE);
    ASSERT_TRUE(CreateOffscreenGL(BUFFER_W, BUFFER_H, nullptr));
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
    EXPECT_EQ(Differing(frame, 256, 256, [&](int x, int y) { return pixels[y * 256 + x] | 0xFF000000; }), 0);
    // F moved down and right (and its glyph's stem), R turned a quarter clockwise, 4
    // mirrored, 7 at half size; nothing at (140, 80).
    const auto at = [&](int x, int y) { return frame[size_t(BUFFER_H - 1 - y) * BUFFER_W + x]; };
    EXPECT_EQ(std::vector<uint32_t>({at(161, 161), at(188, 212), at(134, 161), at(262, 33), at(58, 58), at(140, 80)}),
              std::vector<uint32_t>({0xFF2828DC, WHITE, 0xFF3CB428, 0xFF1496F0, 0xFFC83CBE, BLUE}));
    FreeDeepImage(&image);
}

}  // namespace
