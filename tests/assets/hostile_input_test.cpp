// Every reader on the hostile files in tests/data/hostile/: one file per known class of
// reader crash, each with the clean result it must give (run under the sanitizers too).
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "assets/mesh_pair.h"
#include "assets/texture.h"
#include "support/log.h"
#include "support/settings.h"
#include "support/window_state.h"
#include "bake/offscreen_gl.h"
#include "testlib/temp_dir.h"

namespace {

std::string Hostile(const std::string& name)
{
#ifdef _WIN32
    return std::string("Z:") + TEXWARP_HOSTILE + "/" + name;  // Wine's drive for the Unix root
#else
    return std::string(TEXWARP_HOSTILE) + "/" + name;
#endif
}

class HostileInput : public ::testing::Test {
protected:
    void SetUp() override
    {
        log_state = LogState();
        LogOpen(log.c_str());
    }
    void TearDown() override
    {
        ClearRemapTable();
        log_state = LogState();
    }
    TempDir dir;
    const std::string log = dir.File("log.txt");
};

TEST_F(HostileInput, MeshFilesLoadWithBadFacesKeptButNotDrawn)
{
    const struct {
        const char* file;
        std::vector<int> drawable;
    } cases[] = {
        {"face-index-0.obj", {0, 1}},
        {"face-index-past-end.obj", {0, 1}},
        {"face-index-int-max.obj", {0, 1}},
        {"face-index-before-first-vt.obj", {0, 1}},
        {"vt-one-number.obj", {1}},
        {"line-255.obj", {1}},
        {"line-256.obj", {1}},
        {"line-257.obj", {1}},
        {"line-100000.obj", {1}},
        {"no-final-line-feed.obj", {1}},
        {"nul-in-line.obj", {0, 1}},
    };
    for (const auto& c : cases) {
        const std::string path = Hostile(c.file);
        ASSERT_TRUE(LoadRemapMeshes(path.c_str(), path.c_str())) << c.file;
        std::vector<int> drawable(remap_table.drawable, remap_table.drawable + remap_table.count);
        EXPECT_EQ(drawable, c.drawable) << c.file;
    }
    const std::string corners = Hostile("face-1000-corners.obj");
    ASSERT_TRUE(LoadRemapMeshes(corners.c_str(), corners.c_str()));
    EXPECT_EQ(remap_table.count, 998);
    // A "vt" line with one number reads the missing v as 0, stored as 1.
    const std::string one = Hostile("vt-one-number.obj");
    ASSERT_TRUE(LoadRemapMeshes(one.c_str(), one.c_str()));
    EXPECT_EQ(remap_table.triangles[0].source[0].u, 0.5f);
    EXPECT_EQ(remap_table.triangles[0].source[0].v, 1.0f);
    bool said = false;
    for (const std::string& line : ReadLines(log))
        said = said || line == "1 triangles without valid texcoords, not drawn";
    EXPECT_TRUE(said);
}

TEST_F(HostileInput, PngFilesDecodeOrFailWithALogLine)
{
    ASSERT_TRUE(CreateOffscreenGL(16, 16, nullptr));
    for (const char* good : {"png-16-bit.png", "png-palette.png", "png-grey.png", "png-grey-alpha.png",
                             "png-1-bit.png", "png-interlaced.png"}) {
        Texture texture;
        EXPECT_TRUE(texture.LoadPNG(Hostile(good).c_str(), TEX_LINEAR)) << good;
        EXPECT_EQ(texture.width, 5) << good;
        EXPECT_EQ(texture.height, 4) << good;
    }
    const char* bad[] = {"png-truncated.png", "png-crc-ihdr.png", "png-size-over-32-bits.png",
                         "png-itxt-2gb.png"};
    for (const char* file : bad) {
        Texture texture;
        EXPECT_FALSE(texture.LoadPNG(Hostile(file).c_str(), TEX_LINEAR)) << file;
        EXPECT_EQ(texture.GetName(), -1) << file;
    }
    const auto lines = ReadLines(log);
    ASSERT_EQ(lines.size(), 4u);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(lines[i].rfind("'" + Hostile(bad[i]) + "' not loaded: ", 0), 0u) << lines[i];
    DestroyOffscreenGL();
}

TEST_F(HostileInput, ConfigFilesApplyWhatTheyCanAndSaturate)
{
    const struct {
        const char* file;
        WindowState expected;
    } cases[] = {
        {"config-99999999999.txt", {INT_MAX, 600, 10, 20, 0, false, 0, 0}},
        {"config-minus-2147483649.txt", {INT_MIN, 600, 10, 20, 0, false, 0, 0}},
        {"config-0x.txt", {0, 600, 10, 20, 0, false, 0, 0}},
        {"config-missing-key.txt", {800, 650, 0, 0, 1, false, 0, 0}},
        {"config-bom.txt", {950, 650, 0, 0, 1, false, 0, 0}},
    };
    for (const auto& c : cases) {
        window_state = WindowState{950, 650, 0, 0, 1, false, 0, 0};
        ReadConfig(Hostile(c.file).c_str());
        EXPECT_EQ(window_state.window_width, c.expected.window_width) << c.file;
        EXPECT_EQ(window_state.window_height, c.expected.window_height) << c.file;
        EXPECT_EQ(window_state.window_x, c.expected.window_x) << c.file;
        EXPECT_EQ(window_state.window_y, c.expected.window_y) << c.file;
        EXPECT_EQ(window_state.window_maximized, c.expected.window_maximized) << c.file;
    }
    EXPECT_EQ(ReadLines(log), std::vector<std::string>(5, "reading config"));
}

}  // namespace
