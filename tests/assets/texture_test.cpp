// Texture object on a real GL context: filter and wrap by flag, the pixels GL holds,
// names, and failures that leave the object as it was.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "assets/gl_api.h"
#include "assets/texture.h"
#include "bake/offscreen_gl.h"
#include "fuzz/png_writer.h"
#include "support/log.h"
#include "testlib/files.h"

namespace {

class TextureTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(CreateOffscreenGL(64, 64, nullptr)); }
    static void TearDownTestSuite() { DestroyOffscreenGL(); }
};

TEST_F(TextureTest, FlagsChooseFilterAndWrap)
{
    // Filters: M mipmaps, L linear, N nearest; wraps: R repeat, C clamp to edge.
    constexpr GLint M = GL_LINEAR_MIPMAP_LINEAR, L = GL_LINEAR, N = GL_NEAREST, R = GL_REPEAT, C = 0x812F;
    const std::vector<GLint> rows[] = {  // flags; min filter, mag filter, wrap s, wrap t; level 0 stays 3 x 1
        {0, M, L, R, R, 3, 1}, {TEX_LINEAR, L, L, R, R, 3, 1}, {TEX_NEAREST | TEX_LINEAR, N, N, R, R, 3, 1},
        {8, M, L, R, R, 3, 1}, {TEX_CLAMP, M, L, C, C, 3, 1},  {TEX_NEAREST | TEX_CLAMP, N, N, C, C, 3, 1},
    };
    const uint32_t pixels[3] = {0xFF0000FF, 0xFF00FF00, 0xFFFF0000};
    const GLenum names[] = {GL_TEXTURE_MIN_FILTER, GL_TEXTURE_MAG_FILTER, GL_TEXTURE_WRAP_S, GL_TEXTURE_WRAP_T};
    for (const auto& row : rows) {
        Texture texture;
        ASSERT_TRUE(texture.Upload(pixels, 3, 1, row[0]));
        glBindTexture(GL_TEXTURE_2D, GLuint(texture.GetName()));
        std::vector<GLint> state = {row[0], 0, 0, 0, 0, 0, 0};
        for (int i = 0; i < 4; ++i)
            glGetTexParameteriv(GL_TEXTURE_2D, names[i], &state[i + 1]);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &state[5]);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &state[6]);
        EXPECT_EQ(state, row);
    }
}

TEST_F(TextureTest, LoadsUploadsAndFailsWithoutChangingIt)
{
    TempDir dir;
    log_state = LogState();
    LogOpen(dir.File("log.txt").c_str());
    Texture texture;
    // The file's top row is GL's row 0; (10, 20, 30) is the word 0xFF1E140A.
    const std::string png = dir.File("rows.png");
    WriteWholeFile(png, EncodePng({2, 2, 2, 8, false, {10, 20, 30, 40, 50, 60, 1, 2, 3, 4, 5, 6}, {}, {}}));
    ASSERT_TRUE(texture.LoadPNG(png.c_str(), TEX_NEAREST));
    std::vector<uint32_t> level0(4);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, level0.data());
    EXPECT_EQ(level0, (std::vector<uint32_t>{0xFF1E140A, 0xFF3C3228, 0xFF030201, 0xFF060504}));
    const GLuint first = GLuint(texture.GetName());

    // A second upload replaces the first texture, and keeps the image's own size.
    std::vector<uint32_t> pixels(300 * 200, 0xFF808080);
    ASSERT_TRUE(texture.Upload(pixels.data(), 300, 200, TEX_LINEAR));
    EXPECT_TRUE(GLuint(texture.GetName()) != first && !glIsTexture(first));

    // Refusals: the texture, its size and the binding stay; each says why (GL's
    // words, libpng's, the system's).
    const int32_t name = texture.GetName();
    const char* failure = nullptr;
    EXPECT_FALSE(texture.Upload(pixels.data(), 0, 0, 0, &failure));
    EXPECT_TRUE(failure && *failure);
    WriteWholeFile(dir.File("broken.png"), "\x89PNG\r\n\x1a\nthen nothing sensible");
    const std::vector<std::pair<std::string, std::string>> refusals = {  // "": words other than "not found"
        {dir.File("missing.png"), "not found"}, {dir.File("broken.png"), ""}, {dir.path, ""},
#ifndef _WIN32
        {dir.File("log.txt") + "/texture.png", std::strerror(ENOTDIR)},  // through a file
#endif
    };
    for (const auto& [path, why] : refusals) {
        EXPECT_FALSE(texture.LoadPNG(path.c_str(), TEX_LINEAR)) << path;
        const std::string said = ReadLines(dir.File("log.txt")).back(), start = "'" + path + "' not loaded: ";
        EXPECT_EQ(said.rfind(start, 0), 0u) << said;
        EXPECT_TRUE(why.empty() ? said.size() > start.size() + 3 && said.find("not found") == std::string::npos
                                : said == start + why) << said;
    }
    EXPECT_EQ(ReadLines(dir.File("log.txt")).size(), refusals.size());
    GLint bound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    EXPECT_EQ(std::vector<int>({texture.GetName(), texture.width, texture.height, bound}),
              std::vector<int>({name, 300, 200, name}));
    log_state = LogState();
}

}  // namespace
