// Remap view drawn into an offscreen context and compared with the frame it must give.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "assets/gl_api.h"
#include "assets/mesh_pair.h"
#include "assets/texture.h"
#include "bake/offscreen_gl.h"
#include "fuzz/png_writer.h"
#include "support/log.h"
#include "support/settings.h"
#include "support/window_state.h"
#include "testlib/files.h"
#include "view/remap_view.h"

namespace {

constexpr int BUFFER_W = 400, BUFFER_H = 300;
constexpr uint32_t BLUE = 0xFFFF0000, WHITE = 0xFFFFFFFF;
// The unit square: vt 1 (0,0), 2 (1,0), 3 (1,1), 4 (0,1) in file values.
const std::string kSquare = "vt 0 1\nvt 1 1\nvt 1 0\nvt 0 0\n";
const std::string kWholeImage = kSquare + "f 1/1 2/2 3/3 4/4\n";

class RemapView : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(CreateOffscreenGL(BUFFER_W, BUFFER_H, nullptr)); }
    static void TearDownTestSuite() { DestroyOffscreenGL(); }
    void SetUp() override { Resize(BUFFER_W, BUFFER_H); }
    void TearDown() override
    {
        ClearRemapTable();
        remap_texture.Upload(nullptr, 0, 0, 0);  // refused: the test's texture stays, reset below
        GLuint name = GLuint(remap_texture.name);
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
    static void LoadMeshes(const std::string& source, const std::string& target)
    {
        LoadRemapMeshesFromBytes("s", source.data(), source.size(), "t", target.data(), target.size());
    }
    // One frame, top row first, as RGBA words.
    std::vector<uint32_t> Draw()
    {
        DrawRemapView();
        std::vector<uint32_t> gl_rows(size_t(window_state.window_width) * window_state.window_height);
        glPixelStorei(GL_PACK_ALIGNMENT, 4);
        glReadPixels(0, 0, window_state.window_width, window_state.window_height, GL_RGBA, GL_UNSIGNED_BYTE,
                     gl_rows.data());
        std::vector<uint32_t> frame;
        for (int y = window_state.window_height - 1; y >= 0; --y)
            frame.insert(frame.end(), gl_rows.begin() + y * window_state.window_width,
                         gl_rows.begin() + (y + 1) * window_state.window_width);
        return frame;
    }
    static int Differing(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b)
    {
        int differing = a.size() == b.size() ? 0 : -1;
        for (size_t i = 0; i < a.size() && i < b.size(); ++i)
            differing += (a[i] | 0xFF000000) != (b[i] | 0xFF000000);
        return differing;
    }
};

// The frame for an image of w x h drawn whole: `inside(x, y)` in the image's rectangle,
// white bands around it reaching the client's edges, blue elsewhere.
template <typename Inside>
std::vector<uint32_t> Expected(int w, int h, Inside inside)
{
    std::vector<uint32_t> frame;
    for (int y = 0; y < window_state.window_height; ++y)
        for (int x = 0; x < window_state.window_width; ++x) {
            const bool band = x == 19 || y == 19 || x == 20 + w || y == 20 + h;
            const bool in = x >= 20 && x < 20 + w && y >= 20 && y < 20 + h;
            frame.push_back(band ? WHITE : in ? inside(x - 20, y - 20) : BLUE);
        }
    return frame;
}

TEST_F(RemapView, ImageOfAnySizeComesBackTexelForTexelInsideItsBands)
{
    constexpr int W = 300, H = 200;  // not powers of two: no rescaling on the way
    std::vector<uint32_t> pixels(W * H);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = 0xFF000000u | (uint32_t(i) * 2654435761u >> 8);
    ASSERT_TRUE(remap_texture.Upload(pixels.data(), W, H, TEX_LINEAR));
    LoadMeshes(kWholeImage, kWholeImage);
    const auto texel = [&](int x, int y) { return pixels[size_t(y) * W + x]; };
    EXPECT_EQ(Differing(Draw(), Expected(W, H, texel)), 0);
    // Resized, the image stays where it is and the bands reach the new edges.
    Resize(330, 240);
    EXPECT_EQ(Differing(Draw(), Expected(W, H, texel)), 0);
}

TEST_F(RemapView, RecordsAreDrawnInOrderInEitherWindingUnlessMarked)
{
    // 64 x 64 texels, nearest: red, green / blue, white quadrants.
    std::vector<uint32_t> quadrants(64 * 64);
    for (int i = 0; i < 64 * 64; ++i)
        quadrants[i] = (i / 64 < 32) ? (i % 64 < 32 ? 0xFF0000FF : 0xFF00FF00) : (i % 64 < 32 ? BLUE : WHITE);
    ASSERT_TRUE(remap_texture.Upload(quadrants.data(), 64, 64, TEX_NEAREST));
    // After kSquare, stored: 5 (.5,.5) 6 (.5,0) 7 (0,.5) 8 (1.1,.1) 9 (1.2,.1) 10 (1.4,.1)
    // 11 (1.2,.4) 12 (.75,.75) 13 (.25,.75) 14 (1,.5).
    const std::string vt = kSquare + "vt .5 .5\nvt .5 1\nvt 0 .5\nvt 1.1 .9\nvt 1.2 .9\nvt 1.4 .9\nvt 1.2 .6\n"
                                     "vt .75 .25\nvt .25 .25\nvt 1 .5\n";
    LoadMeshes(vt + "f 1/1 2/2 3/3 4/4\n"          // the whole image, clockwise on screen
                    "f 1/12 1/12 1/12 1/12\n"      // white over the top left, counter-clockwise
                    "f 1/13 1/13 1/13 1/13\n"      // blue over the top right, marked undrawable
                    "f 1/8 1/8 1/8\n",             // right of the frame, sampling red by repeat
               vt + "f 1/1 2/2 3/3 4/4\nf 1/1 1/7 1/5 1/6\nf 1/6 1/2 1/14 1/5\nf 1/9 1/10 1/11\n");
    ASSERT_EQ(remap_table.count, 7);
    remap_table.drawable[4] = remap_table.drawable[5] = 0;
    const std::vector<uint32_t> frame = Draw();
    const auto at = [&](int x, int y) { return frame[size_t(y) * BUFFER_W + x] | 0xFF000000; };
    EXPECT_EQ(std::vector<uint32_t>({at(36, 36), at(68, 36), at(36, 68), at(68, 68), at(100, 30), at(100, 60)}),
              std::vector<uint32_t>({WHITE, 0xFF00FF00, BLUE, WHITE, 0xFF0000FF, BLUE}));
}

TEST_F(RemapView, NoImageCollapsesTheTrianglesAndTheBandsCross)
{
    LoadMeshes(kWholeImage, kWholeImage);
    const auto blue = [](int, int) { return BLUE; };
    EXPECT_EQ(Differing(Draw(), Expected(0, 0, blue)), 0);
    ClearRemapTable();
    ASSERT_TRUE(remap_texture.Upload(&WHITE, 1, 1, TEX_LINEAR));
    Resize(200, 100);
    EXPECT_EQ(Differing(Draw(), Expected(1, 1, [](int, int) { return BLUE; })), 0);  // an empty table
}

TEST_F(RemapView, InitLoadsFromTheCurrentDirectoryAndKeepsTheLivePlacement)
{
    TempDir inputs, program;
    WriteWholeFile(inputs.File("texture.png"),
                   EncodePng({64, 32, 2, 8, false, std::vector<uint8_t>(64 * 32 * 3, 200), {}, {}}));
    WriteWholeFile(inputs.File("mesh1.obj"), kWholeImage);
    WriteWholeFile(inputs.File("mesh2.obj"), kWholeImage);
    WriteWholeFile(program.File("config.txt"), "version 1\nwindow_width 333\nwindow_height 222\nwindow_x 1\n");
    SetProgramDirectory(program.File("texwarp.exe").c_str());
    LogOpen(program.File("log.txt").c_str());
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(inputs.path);
    plxInit();
    std::filesystem::current_path(previous);
    SetProgramDirectory("");
    // The file is read again, but the window's live placement stands.
    EXPECT_EQ(std::vector<int>({window_state.window_width, window_state.window_height, window_state.window_x}),
              std::vector<int>({BUFFER_W, BUFFER_H, 0}));
    EXPECT_EQ(std::vector<int>({remap_texture.width, remap_texture.height, remap_table.count}),
              std::vector<int>({64, 32, 2}));
    const auto log = ReadLines(program.File("log.txt"));
    EXPECT_EQ(log.front(), "reading config");
    EXPECT_EQ(log.back(), "done");
    // Culling and the depth test would hide a triangle; the frame turns them off.
    EXPECT_TRUE(glIsEnabled(GL_CULL_FACE) && glIsEnabled(GL_DEPTH_TEST));
    glDepthFunc(GL_NEVER);
    EXPECT_EQ(Differing(Draw(), Expected(64, 32, [](int, int) { return 0xFFC8C8C8; })), 0);
    glDepthFunc(GL_LEQUAL);
    log_state = LogState();
}

TEST_F(RemapView, ExampleShowsTheIslandsWhereTheTargetLayoutPutsThem)
{
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(TEXWARP_EXAMPLES);
    plxInit();
    std::filesystem::current_path(previous);
    ASSERT_EQ(remap_table.count, 32);
    const std::vector<uint32_t> frame = Draw();
    const auto at = [&](int x, int y) { return frame[size_t(y) * BUFFER_W + x] & 0xFFFFFF; };
    // F moved down and right (and its glyph's stem), R turned a quarter clockwise, 4
    // mirrored, 7 at half size; nothing at (140, 80).
    EXPECT_EQ(std::vector<uint32_t>({at(161, 161), at(188, 212), at(134, 161), at(262, 33), at(58, 58), at(140, 80)}),
              std::vector<uint32_t>({0x2828DC, 0xFFFFFF, 0x3CB428, 0x1496F0, 0xC83CBE, 0xFF0000}));
}

}  // namespace
