// Texture object on a real GL context: the pixels GL holds, names, and failures that
// leave the object as it was.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "assets/gl_api.h"
#include "assets/texture.h"
#include "fuzz/png_writer.h"
#include "support/log.h"
#include "testlib/files.h"
#include "testlib/offscreen_gl.h"

namespace {

TEST(TextureTest, LoadsUploadsAndFailsWithoutChangingIt)
{
    ASSERT_TRUE(CreateOffscreenGL(64, 64));
    TempDir dir;
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
    GLint held[2] = {0, 0};  // as GL holds it: not rescaled to powers of two
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &held[0]);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &held[1]);
    EXPECT_EQ(std::vector<int>(held, held + 2), std::vector<int>({300, 200}));

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
    DestroyOffscreenGL();
}

}  // namespace
