// Remap view drawn into a headless context and read back pixel by pixel.
#include <gtest/gtest.h>

#include "assets/gl_api.h"

#include <string>
#include <vector>

#include "assets/mesh_pair.h"
#include "assets/texture.h"
#include "support/log.h"
#include "support/settings.h"
#include "support/window_state.h"
#include "bake/offscreen_gl.h"
#include "testlib/png_writer.h"
#include "testlib/temp_dir.h"
#include "view/remap_view.h"

namespace {

constexpr int BUFFER_W = 400, BUFFER_H = 300;

struct Rgb {
    int r, g, b;
    bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
    bool operator!=(const Rgb& o) const { return !(*this == o); }
};
std::ostream& operator<<(std::ostream& out, const Rgb& c)
{
    return out << "(" << c.r << ", " << c.g << ", " << c.b << ")";
}
const Rgb BLUE{0, 0, 255}, WHITE{255, 255, 255};

// The texel colour of the test image: linear in x and y, so bilinear filtering has
// an exact answer.
Rgb Texel(int x, int y)
{
    return Rgb{x, 2 * y, 128};
}

class RemapView : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(CreateOffscreenGL(BUFFER_W, BUFFER_H, nullptr)); }
    static void TearDownTestSuite()
    {
        ForgetTexture();
        DestroyOffscreenGL();
    }
    void SetUp() override
    {
        log_state = LogState();
        ClearRemapTable();
        ForgetTexture();
        Resize(BUFFER_W, BUFFER_H);
    }
    void TearDown() override
    {
        ClearRemapTable();
        log_state = LogState();
    }
    static void ForgetTexture()
    {
        if (remap_texture.name != -1) {
            GLuint name = static_cast<GLuint>(remap_texture.name);
            glDeleteTextures(1, &name);
        }
        remap_texture.name = -1;
        remap_texture.width = remap_texture.height = 0;
    }
    static void Resize(int width, int height)
    {
        window_state.window_width = width;
        window_state.window_height = height;
        glViewport(0, 0, width, height);
    }
    // A 256 x 128 image whose colours follow Texel.
    static void UploadLinearTexture()
    {
        std::vector<uint32_t> pixels;
        for (int y = 0; y < 128; ++y)
            for (int x = 0; x < 256; ++x) {
                const Rgb c = Texel(x, y);
                pixels.push_back(0xFF000000u | uint32_t(c.b) << 16 | uint32_t(c.g) << 8 | uint32_t(c.r));
            }
        remap_texture.Upload(pixels.data(), 256, 128, TEX_LINEAR);
    }
    static void LoadMeshes(const std::string& source, const std::string& target)
    {
        LoadRemapMeshesFromBytes("s", source.data(), source.size(), "t", target.data(), target.size());
    }
    // Draws one frame and keeps the client area, top row first.
    void Draw()
    {
        DrawRemapView();
        glFinish();
        frame_.assign(size_t(window_state.window_width) * window_state.window_height * 4, 0);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, window_state.window_width, window_state.window_height, GL_RGBA,
                     GL_UNSIGNED_BYTE, frame_.data());
    }
    Rgb At(int x, int y) const
    {
        const int row = window_state.window_height - 1 - y;  // GL rows start at the bottom
        const unsigned char* p = &frame_[(size_t(row) * window_state.window_width + x) * 4];
        return Rgb{p[0], p[1], p[2]};
    }
    bool IsBand(int x, int y, int image_w, int image_h) const
    {
        return x == 19 || y == 19 || x == 20 + image_w || y == 20 + image_h;
    }
    std::vector<unsigned char> frame_;
};

// vt lines for the unit square's corners: 1 (0,0) 2 (1,0) 3 (1,1) 4 (0,1), file values.
const char kSquare[] = "vt 0 1\nvt 1 1\nvt 1 0\nvt 0 0\n";
const std::string kWholeImage = std::string(kSquare) + "f 1/1 2/2 3/3 4/4\n";

void ExpectNear(const Rgb& got, const Rgb& want, int x, int y)
{
    EXPECT_NEAR(got.r, want.r, 3) << "at " << x << ", " << y;
    EXPECT_NEAR(got.g, want.g, 3) << "at " << x << ", " << y;
    EXPECT_NEAR(got.b, want.b, 3) << "at " << x << ", " << y;
}

TEST_F(RemapView, ImageLiesInsideTheBandsOnABlueBackground)
{
    UploadLinearTexture();
    LoadMeshes(kWholeImage, kWholeImage);
    Draw();
    for (int y = 0; y < BUFFER_H; ++y)
        for (int x = 0; x < BUFFER_W; ++x) {
            const Rgb c = At(x, y);
            if (IsBand(x, y, 256, 128))
                ASSERT_EQ(c, WHITE) << x << ", " << y;
            else if (x >= 20 && x < 276 && y >= 20 && y < 148)
                ASSERT_NE(c, BLUE) << x << ", " << y;
            else
                ASSERT_EQ(c, BLUE) << x << ", " << y;
        }
}

TEST_F(RemapView, PixelsShowTheTexelsTheSourceCoordinatesPointAt)
{
    UploadLinearTexture();
    // Identity, then mirrored left to right: target u = 1 - source u.
    LoadMeshes(kWholeImage, kWholeImage);
    Draw();
    for (int y = 0; y < 128; y += 9)
        for (int x = 0; x < 256; x += 7)
            ExpectNear(At(20 + x, 20 + y), Texel(x, y), x, y);

    LoadMeshes(kWholeImage, std::string(kSquare) + "f 1/2 2/1 3/4 4/3\n");
    Draw();
    for (int y = 0; y < 128; y += 9)
        for (int x = 0; x < 256; x += 7)
            ExpectNear(At(20 + x, 20 + y), Texel(255 - x, y), x, y);
}

TEST_F(RemapView, TriangleCoversTheHalfRectangleOfItsTargetCorners)
{
    UploadLinearTexture();
    // Stored target corners (0,0), (1,0), (0,1): file v values 1, 1, 0.
    const std::string triangle = std::string(kSquare) + "f 1/1 2/2 3/4\n";
    LoadMeshes(kWholeImage, triangle);
    Draw();
    for (int y = 21; y < 147; y += 3)
        for (int x = 21; x < 275; x += 3) {
            // Inside when x/256 + y/128 < 1, with a pixel of margin along the diagonal.
            const double side = (x + 0.5 - 20) / 256 + (y + 0.5 - 20) / 128;
            if (side < 0.99) {
                ASSERT_NE(At(x, y), BLUE) << x << ", " << y;
            } else if (side > 1.01) {
                ASSERT_EQ(At(x, y), BLUE) << x << ", " << y;
            }
        }
}

TEST_F(RemapView, EmptyTableAndNoTextureShowOnlyBands)
{
    UploadLinearTexture();
    Draw();
    for (int y = 0; y < BUFFER_H; y += 5)
        for (int x = 0; x < BUFFER_W; x += 5)
            ASSERT_EQ(At(x, y), BLUE) << x << ", " << y;
    EXPECT_EQ(At(276, 200), WHITE);
    EXPECT_EQ(At(300, 148), WHITE);

    // No image: size 0 x 0, every triangle collapses and the bands make a cross.
    ForgetTexture();
    LoadMeshes(kWholeImage, kWholeImage);
    Draw();
    for (int y = 0; y < BUFFER_H; ++y)
        for (int x = 0; x < BUFFER_W; ++x) {
            const bool cross = x == 19 || x == 20 || y == 19 || y == 20;
            ASSERT_EQ(At(x, y), cross ? WHITE : BLUE) << x << ", " << y;
        }
}

TEST_F(RemapView, CoordinatesOutsideTheUnitSquare)
{
    UploadLinearTexture();
    // Target u from 1.1 to 1.3: right of the frame. Source u from 1.25 to 1.5: repeats
    // to 0.25 to 0.5. Written as one clockwise and one counter-clockwise triangle.
    const std::string source = "vt 1.25 1\nvt 1.5 1\nvt 1.5 0\nvt 1.25 0\n"
                               "f 1/1 2/2 3/3\nf 1/1 4/4 3/3\n";
    const std::string target = "vt 1.1 1\nvt 1.3 1\nvt 1.3 0\nvt 1.1 0\n"
                               "f 1/1 2/2 3/3\nf 1/1 4/4 3/3\n";
    LoadMeshes(source, target);
    Draw();
    const int left = 20 + int(256 * 1.1), right = 20 + int(256 * 1.3);
    for (int y = 22; y < 146; y += 6)
        for (int x = left + 2; x < right - 2; x += 4) {
            const double u = 1.25 + (x + 0.5 - 20 - 256 * 1.1) / 256 * (0.25 / 0.2);
            ExpectNear(At(x, y), Texel(int((u - 1) * 256), y - 20), x, y);
        }
    for (int y = 21; y < 148; y += 4)
        for (int x = 21; x < 276; x += 4)
            ASSERT_EQ(At(x, y), BLUE) << x << ", " << y;
}

TEST_F(RemapView, LaterRecordsCoverEarlierOnes)
{
    UploadLinearTexture();
    // Two records drawn over the same target square; the second samples a different place.
    const std::string source = "vt 0 1\nvt 0.1 1\nvt 0.1 0.9\nvt 0 0.9\n"
                               "vt 0.9 0.1\nvt 1 0.1\nvt 1 0\nvt 0.9 0\n"
                               "f 1/1 2/2 3/3 4/4\nf 1/5 2/6 3/7 4/8\n";
    LoadMeshes(source, std::string(kSquare) + "f 1/1 2/2 3/3 4/4\nf 1/1 2/2 3/3 4/4\n");
    Draw();
    ExpectNear(At(20 + 128, 20 + 64), Texel(int(0.95 * 256), int(0.95 * 128)), 128, 64);
}

TEST_F(RemapView, ResizingKeepsTheImageInPlaceAndBandsReachTheEdges)
{
    UploadLinearTexture();
    LoadMeshes(kWholeImage, kWholeImage);
    Resize(320, 180);
    Draw();
    ExpectNear(At(20 + 100, 20 + 50), Texel(100, 50), 100, 50);
    EXPECT_EQ(At(319, 19), WHITE);
    EXPECT_EQ(At(319, 148), WHITE);
    EXPECT_EQ(At(276, 179), WHITE);
    EXPECT_EQ(At(300, 100), BLUE);
    EXPECT_EQ(At(10, 170), BLUE);
}

TEST_F(RemapView, RecordsMarkedUndrawableAreSkipped)
{
    UploadLinearTexture();
    // The square as two triangles; the first, (0,0) (1,0) (1,1), is marked undrawable.
    LoadMeshes(kWholeImage, kWholeImage);
    ASSERT_EQ(remap_table.count, 2);
    remap_table.drawable[0] = 0;
    Draw();
    EXPECT_EQ(At(20 + 200, 20 + 20), BLUE);   // above the diagonal: the skipped record
    EXPECT_NE(At(20 + 20, 20 + 100), BLUE);   // below it: the other one
}

TEST_F(RemapView, ImageOfAnySizeComesBackTexelForTexel)
{
    // Sides that are not powers of two must not be rescaled on the way to the screen.
    constexpr int W = 300, H = 200;
    std::vector<uint32_t> pixels(W * H);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = 0xFF000000u | (uint32_t(i) * 2654435761u >> 8);
    ASSERT_TRUE(remap_texture.Upload(pixels.data(), W, H, TEX_LINEAR));
    LoadMeshes(kWholeImage, kWholeImage);
    Draw();
    int differing = 0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const uint32_t p = pixels[size_t(y) * W + x];
            differing += At(20 + x, 20 + y) != Rgb{int(p & 0xFF), int(p >> 8 & 0xFF), int(p >> 16 & 0xFF)};
        }
    EXPECT_EQ(differing, 0);
}

TEST_F(RemapView, InitLoadsTheInputsFromTheCurrentDirectory)
{
    TempDir inputs, program;
    WriteWholeFile(inputs.File("texture.png"),
                   EncodeRgbPng(std::vector<uint32_t>(64 * 32, 0x00FF00), 64, 32));
    WriteWholeFile(inputs.File("mesh1.obj"), kWholeImage);
    WriteWholeFile(inputs.File("mesh2.obj"), kWholeImage);
    WriteWholeFile(program.File("config.txt"),
                   "version 1\nwindow_width 333\nwindow_height 222\nwindow_x 1\nwindow_y 2\n"
                   "window_maximized 0\n");
    SetProgramDirectory(program.File("texwarp.exe").c_str());
    LogOpen(program.File("log.txt").c_str());
    {
        ScopedCurrentDir in_inputs(inputs.path);
        plxInit();
    }
    SetProgramDirectory("");
    EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
    EXPECT_TRUE(glIsEnabled(GL_CULL_FACE));
    // The file is read again, but the window's live placement stands.
    EXPECT_EQ(window_state.window_width, BUFFER_W);
    EXPECT_EQ(window_state.window_height, BUFFER_H);
    EXPECT_EQ(remap_texture.width, 64);
    EXPECT_EQ(remap_texture.height, 32);
    ASSERT_EQ(remap_table.count, 2);

    // Culling and depth test would hide one of the square's triangles; the frame turns them off.
    Resize(BUFFER_W, BUFFER_H);
    glDepthFunc(GL_NEVER);
    Draw();
    EXPECT_EQ(At(22, 50), (Rgb{0, 255, 0}));
    EXPECT_EQ(At(82, 22), (Rgb{0, 255, 0}));
    EXPECT_FALSE(glIsEnabled(GL_DEPTH_TEST));
    EXPECT_FALSE(glIsEnabled(GL_CULL_FACE));
    const auto log = ReadLines(program.File("log.txt"));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "reading config");
    EXPECT_EQ(log.back(), "done");
    glDepthFunc(GL_LEQUAL);
}

}  // namespace

namespace {

std::string ExamplesDirectory()
{
#ifdef _WIN32
    return std::string("Z:") + TEXWARP_EXAMPLES;  // Wine's drive for the Unix root
#else
    return TEXWARP_EXAMPLES;
#endif
}

TEST_F(RemapView, ExampleShowsTheIslandsWhereTheTargetLayoutPutsThem)
{
    {
        ScopedCurrentDir in_examples(ExamplesDirectory());
        plxInit();
    }
    ASSERT_EQ(remap_texture.width, 256);
    ASSERT_EQ(remap_table.count, 32);
    Resize(BUFFER_W, BUFFER_H);
    Draw();
    const Rgb red{220, 40, 40}, green{40, 180, 60}, orange{240, 150, 20}, magenta{190, 60, 200};
    ExpectNear(At(161, 161), red, 161, 161);        // F, moved down and right
    ExpectNear(At(188, 212), WHITE, 188, 212);      // its glyph's stem
    ExpectNear(At(134, 161), green, 134, 161);      // R, turned: its top-left corner is now top-right
    ExpectNear(At(262, 33), orange, 262, 33);       // 4, mirrored: top-left corner now top-right
    ExpectNear(At(58, 58), magenta, 58, 58);        // 7, halved
    EXPECT_EQ(At(140, 80), BLUE);                   // nothing is laid out here
    EXPECT_EQ(At(276, 100), WHITE);
    EXPECT_EQ(At(100, 276), WHITE);
}

}  // namespace
