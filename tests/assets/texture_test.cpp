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

GLint Parameter(GLenum name)
{
    GLint value = 0;
    glGetTexParameteriv(GL_TEXTURE_2D, name, &value);
    return value;
}

TEST_F(TextureTest, FlagsChooseFilterAndWrap)
{
    constexpr GLint CLAMP_TO_EDGE = 0x812F;
    const struct {
        int flags;
        std::vector<GLint> state;  // min filter, mag filter, wrap s, wrap t
    } rows[] = {
        {0, {GL_LINEAR_MIPMAP_LINEAR, GL_LINEAR, GL_REPEAT, GL_REPEAT}},
        {TEX_LINEAR, {GL_LINEAR, GL_LINEAR, GL_REPEAT, GL_REPEAT}},
        {TEX_NEAREST | TEX_LINEAR, {GL_NEAREST, GL_NEAREST, GL_REPEAT, GL_REPEAT}},
        {TEX_CLAMP, {GL_LINEAR_MIPMAP_LINEAR, GL_LINEAR, CLAMP_TO_EDGE, CLAMP_TO_EDGE}},
        {TEX_NEAREST | TEX_CLAMP, {GL_NEAREST, GL_NEAREST, CLAMP_TO_EDGE, CLAMP_TO_EDGE}},
        {8, {GL_LINEAR_MIPMAP_LINEAR, GL_LINEAR, GL_REPEAT, GL_REPEAT}},
    };
    const uint32_t pixels[4] = {0xFF0000FF, 0xFF00FF00, 0xFFFF0000, 0xFFFFFFFF};
    for (const auto& row : rows)
        for (const auto& size : {std::vector<GLint>{2, 2}, {3, 1}, {1, 3}}) {  // sides of any size stay
            Texture texture;
            ASSERT_TRUE(texture.Upload(pixels, size[0], size[1], row.flags));
            glBindTexture(GL_TEXTURE_2D, GLuint(texture.GetName()));
            GLint level0[2];
            glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &level0[0]);
            glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &level0[1]);
            EXPECT_EQ(std::vector<GLint>({Parameter(GL_TEXTURE_MIN_FILTER), Parameter(GL_TEXTURE_MAG_FILTER),
                                          Parameter(GL_TEXTURE_WRAP_S), Parameter(GL_TEXTURE_WRAP_T), level0[0],
                                          level0[1]}),
                      std::vector<GLint>({row.state[0], row.state[1], row.state[2], row.state[3], size[0], size[1]}))
                << "flags " << row.flags << ", " << size[0] << " x " << size[1];
        }
    GLfloat mode = 0;
    glGetTexEnvfv(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, &mode);
    EXPECT_EQ(GLint(mode), GL_MODULATE);
}

TEST_F(TextureTest, LoadsUploadsAndFailsWithoutChangingIt)
{
    TempDir dir;
    log_state = LogState();
    LogOpen(dir.File("log.txt").c_str());
    Texture texture;
    EXPECT_EQ(texture.GetName(), -1);
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
    EXPECT_NE(GLuint(texture.GetName()), first);
    EXPECT_FALSE(glIsTexture(first));
    EXPECT_EQ(std::vector<int>({texture.width, texture.height}), std::vector<int>({300, 200}));

    // Refusals: the texture, its size and the binding stay; each says why.
    const int32_t name = texture.GetName();
    const char* failure = nullptr;
    EXPECT_FALSE(texture.Upload(pixels.data(), 0, 0, 0, &failure));
    ASSERT_NE(failure, nullptr);
    WriteWholeFile(dir.File("broken.png"), "\x89PNG\r\n\x1a\nthen nothing sensible");
    std::vector<std::string> paths = {dir.File("missing.png"), dir.File("broken.png"), dir.path};
#ifndef _WIN32
    paths.push_back(dir.File("log.txt") + "/texture.png");  // through a file
#endif
    for (const std::string& path : paths)
        EXPECT_FALSE(texture.LoadPNG(path.c_str(), TEX_LINEAR)) << path;
    EXPECT_EQ(std::vector<int>({texture.GetName(), texture.width, texture.height}), std::vector<int>({name, 300, 200}));
    GLint bound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    EXPECT_EQ(bound, name);
    const auto log = ReadLines(dir.File("log.txt"));
    ASSERT_EQ(log.size(), paths.size());
    EXPECT_EQ(log[0], "'" + paths[0] + "' not loaded: not found");
    for (size_t i = 1; i < paths.size(); ++i) {
        const std::string start = "'" + paths[i] + "' not loaded: ";
        EXPECT_EQ(log[i].rfind(start, 0), 0u) << log[i];
        EXPECT_GT(log[i].size(), start.size() + 3) << log[i];
        EXPECT_EQ(log[i].find("not found"), std::string::npos) << log[i];
    }
#ifndef _WIN32
    EXPECT_EQ(log[3], "'" + paths[3] + "' not loaded: " + std::strerror(ENOTDIR));
#endif
    log_state = LogState();
}

}  // namespace
