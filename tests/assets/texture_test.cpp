// Texture object on a real GL context: names, filter and wrap state, pixel layout.
#include <gtest/gtest.h>

#include "assets/gl_api.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "assets/texture.h"
#include "support/log.h"
#include "bake/offscreen_gl.h"
#include "testlib/png_writer.h"
#include "testlib/temp_dir.h"

namespace {

constexpr GLint CLAMP_TO_EDGE = 0x812F;

class TextureTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(CreateOffscreenGL(64, 64, nullptr)); }
    static void TearDownTestSuite() { DestroyOffscreenGL(); }
    void SetUp() override
    {
        log_state = LogState();
        LogOpen(dir.File("log.txt").c_str());
    }
    void TearDown() override { log_state = LogState(); }
    TempDir dir;
};

GLint Parameter(GLenum name)
{
    GLint value = 0;
    glGetTexParameteriv(GL_TEXTURE_2D, name, &value);
    return value;
}

std::vector<uint32_t> LevelZero(const Texture& texture)
{
    std::vector<uint32_t> pixels(size_t(texture.width) * texture.height);
    glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(texture.GetName()));
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    return pixels;
}

TEST_F(TextureTest, IsEmptyBeforeTheFirstUpload)
{
    EXPECT_EQ(remap_texture.GetName(), -1);
    EXPECT_EQ(remap_texture.width, 0);
    EXPECT_EQ(remap_texture.height, 0);
    Texture local;
    EXPECT_EQ(local.GetName(), -1);
}

TEST_F(TextureTest, FlagsChooseFilterAndWrap)
{
    const struct {
        int flags;
        GLint min, mag, wrap;
    } cases[] = {
        {0, GL_LINEAR_MIPMAP_LINEAR, GL_LINEAR, GL_REPEAT},
        {TEX_LINEAR, GL_LINEAR, GL_LINEAR, GL_REPEAT},
        {TEX_NEAREST | TEX_LINEAR, GL_NEAREST, GL_NEAREST, GL_REPEAT},
        {TEX_CLAMP, GL_LINEAR_MIPMAP_LINEAR, GL_LINEAR, CLAMP_TO_EDGE},
        {TEX_NEAREST | TEX_CLAMP | TEX_LINEAR, GL_NEAREST, GL_NEAREST, CLAMP_TO_EDGE},
        {8, GL_LINEAR_MIPMAP_LINEAR, GL_LINEAR, GL_REPEAT},
    };
    const uint32_t pixels[4] = {0xFF0000FF, 0xFF00FF00, 0xFFFF0000, 0xFFFFFFFF};
    for (const auto& c : cases) {
        Texture texture;
        texture.Upload(pixels, 2, 2, c.flags);
        ASSERT_NE(texture.GetName(), -1);
        glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(texture.GetName()));
        EXPECT_EQ(Parameter(GL_TEXTURE_MIN_FILTER), c.min) << "flags " << c.flags;
        EXPECT_EQ(Parameter(GL_TEXTURE_MAG_FILTER), c.mag) << "flags " << c.flags;
        EXPECT_EQ(Parameter(GL_TEXTURE_WRAP_S), c.wrap) << "flags " << c.flags;
        EXPECT_EQ(Parameter(GL_TEXTURE_WRAP_T), c.wrap) << "flags " << c.flags;
    }
    GLfloat mode = 0;
    glGetTexEnvfv(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, &mode);
    EXPECT_EQ(static_cast<GLint>(mode), GL_MODULATE);
}

TEST_F(TextureTest, SecondUploadReplacesTheFirstName)
{
    Texture texture;
    const uint32_t pixel = 0xFFFFFFFF;
    texture.Upload(&pixel, 1, 1, 0);
    const GLuint first = static_cast<GLuint>(texture.GetName());
    EXPECT_TRUE(glIsTexture(first));
    // A texture made in between shows whether the first name was freed or reused.
    GLuint other = 0;
    glGenTextures(1, &other);
    glBindTexture(GL_TEXTURE_2D, other);
    texture.Upload(&pixel, 1, 1, 0);
    const GLuint second = static_cast<GLuint>(texture.GetName());
    EXPECT_NE(second, other);
    if (second != first) {
        EXPECT_FALSE(glIsTexture(first));
    }
    glDeleteTextures(1, &other);
}

TEST_F(TextureTest, KeepsTheImagesOwnSizeAndRowOrder)
{
    std::vector<uint32_t> pixels(300 * 200, 0xFF808080);
    Texture texture;
    texture.Upload(pixels.data(), 300, 200, TEX_LINEAR);
    EXPECT_EQ(texture.width, 300);
    EXPECT_EQ(texture.height, 200);

    // The PNG's top row becomes row 0 of the GL image, pixel words unchanged.
    const std::string path = dir.File("rows.png");
    WriteWholeFile(path, EncodeRgbPng({0x1E140A, 0x3C3228, 0x030201, 0x060504}, 2, 2));
    ASSERT_TRUE(texture.LoadPNG(path.c_str(), TEX_NEAREST));
    EXPECT_EQ(texture.width, 2);
    EXPECT_EQ(LevelZero(texture),
              (std::vector<uint32_t>{0xFF1E140A, 0xFF3C3228, 0xFF030201, 0xFF060504}));

    // The pixel (10, 20, 30) is the word 0xFF1E140A.
    WriteWholeFile(path, EncodeRgbPng({0x1E140A}, 1, 1));
    ASSERT_TRUE(texture.LoadPNG(path.c_str(), TEX_LINEAR));
    EXPECT_EQ(LevelZero(texture), std::vector<uint32_t>{0xFF1E140A});
}

TEST_F(TextureTest, FailedLoadLeavesTheTextureAndLogsWhy)
{
    Texture texture;
    const std::string missing = dir.File("texture.png");
    EXPECT_FALSE(texture.LoadPNG(missing.c_str(), TEX_LINEAR));
    EXPECT_EQ(texture.GetName(), -1);
    EXPECT_EQ(texture.width, 0);

    const uint32_t pixel = 0xFFFFFFFF;
    texture.Upload(&pixel, 1, 1, 0);
    const int32_t name = texture.GetName();
    const std::string broken = dir.File("broken.png");
    WriteWholeFile(broken, "\x89PNG\r\n\x1a\nthen nothing sensible");
    EXPECT_FALSE(texture.LoadPNG(broken.c_str(), TEX_LINEAR));
    EXPECT_EQ(texture.GetName(), name);
    EXPECT_EQ(texture.width, 1);
    EXPECT_EQ(texture.height, 1);

    // GL refuses an image of no size: the old texture stays, the new name goes.
    const char* failure = nullptr;
    EXPECT_FALSE(texture.Upload(&pixel, 0, 0, 0, &failure));
    ASSERT_NE(failure, nullptr);
    EXPECT_STRNE(failure, "");
    EXPECT_EQ(texture.GetName(), name);
    EXPECT_EQ(texture.width, 1);
    EXPECT_TRUE(glIsTexture(static_cast<GLuint>(name)));
    GLint bound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    EXPECT_EQ(bound, name);

    // A folder is there but cannot be read as an image: not "not found".
    EXPECT_FALSE(texture.LoadPNG(dir.path.c_str(), TEX_LINEAR));
    const auto log = ReadLines(dir.File("log.txt"));
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], "'" + missing + "' not loaded: not found");
    EXPECT_EQ(log[1].rfind("'" + broken + "' not loaded: ", 0), 0u) << log[1];
    EXPECT_GT(log[1].size(), broken.size() + 16);
    EXPECT_EQ(log[2].rfind("'" + dir.path + "' not loaded: ", 0), 0u) << log[2];
    EXPECT_EQ(log[2].find("not found"), std::string::npos) << log[2];
#ifndef _WIN32
    const std::string through_a_file = dir.File("log.txt") + "/texture.png";
    EXPECT_FALSE(texture.LoadPNG(through_a_file.c_str(), TEX_LINEAR));
    EXPECT_EQ(ReadLines(dir.File("log.txt")).back(),
              "'" + through_a_file + "' not loaded: " + std::strerror(ENOTDIR));
#endif
}

}  // namespace
