// The headless context draws and reads back.
#include <gtest/gtest.h>

#include "testlib/gl_context.h"

#ifdef _WIN32
#include <windows.h>
#endif
#include "assets/gl_api.h"

TEST(TestGLContext, ClearsAndReadsBack)
{
    ASSERT_TRUE(CreateTestGLContext(64, 48));
    glViewport(0, 0, 64, 48);
    glClearColor(1.0f, 0.0f, 1.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glFinish();
    unsigned char pixel[4] = {};
    glReadPixels(63, 47, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, pixel);
    EXPECT_EQ(pixel[0], 255);
    EXPECT_EQ(pixel[1], 0);
    EXPECT_EQ(pixel[2], 255);
    DestroyTestGLContext();
}
