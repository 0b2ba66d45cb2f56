// Settings file and program paths: round trip, the lenient reading rules, the paths.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <string>

#include "support/log.h"
#include "support/settings.h"
#include "support/window_state.h"
#include "testlib/temp_dir.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace {

const WindowState kDefaults = {950, 650, 0, 0, 1, false, 0, 0};

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        window_state = kDefaults;
        log_state = LogState();
        ProgramDirectory.clear();
    }
    void TearDown() override
    {
        log_state = LogState();
        ProgramDirectory.clear();
    }
    // Reads `text` as config.txt and returns the resulting placement.
    WindowState Read(const std::string& text)
    {
        WriteWholeFile(config, text);
        ReadConfig(config.c_str());
        return window_state;
    }
    TempDir dir;
    const std::string config = dir.File("config.txt");
};

void ExpectPlacement(const WindowState& s, int w, int h, int x, int y, int maximized)
{
    EXPECT_EQ(s.window_width, w);
    EXPECT_EQ(s.window_height, h);
    EXPECT_EQ(s.window_x, x);
    EXPECT_EQ(s.window_y, y);
    EXPECT_EQ(s.window_maximized, maximized);
}

TEST_F(SettingsTest, WriteThenReadRestoresEveryFieldNegativesIncluded)
{
    window_state = {1234, 567, -8, -32000, 0, false, 0, 0};
    WriteConfig(config.c_str());
    EXPECT_EQ(ReadLines(config),
              (std::vector<std::string>{"version 1", "window_width 1234", "window_height 567",
                                        "window_x -8", "window_y -32000", "window_maximized 0"}));
    window_state = kDefaults;
    ReadConfig(config.c_str());
    ExpectPlacement(window_state, 1234, 567, -8, -32000, 0);
}

TEST_F(SettingsTest, ReadingRules)
{
    const std::string body = "version 1\nwindow_width 800\nwindow_height 600\n"
                             "window_x 10\nwindow_y 20\nwindow_maximized 0\n";
    const struct {
        const char* what;
        std::string text;
        int expected[5];  // width, height, x, y, maximized
    } cases[] = {
        {"CR LF", "version 1\r\nwindow_width 800\r\nwindow_height 600\r\nwindow_x 10\r\n"
                  "window_y 20\r\nwindow_maximized 0\r\n", {800, 600, 10, 20, 0}},
        {"tabs, runs of blanks, blank lines, extra lines",
         "version\t1\n\n\nwindow_width  \t 800\n\nwindow_height\t600\nwindow_x   10\nwindow_y 20\n"
         "window_maximized 2\nextra 5\n", {800, 600, 10, 20, 2}},
        {"one line", "version 1 window_width 800 window_height 600 window_x 10 window_y 20 "
                     "window_maximized 0", {800, 600, 10, 20, 0}},
        {"no blanks at all", "version1window_width800window_height600window_x10window_y20"
                             "window_maximized0", {800, 600, 10, 20, 0}},
        {"leading blank line", "\n" + body, {950, 650, 0, 0, 1}},
        {"leading space", " " + body, {950, 650, 0, 0, 1}},
        {"byte-order mark", "\xEF\xBB\xBF" + body, {950, 650, 0, 0, 1}},
        {"version 2", "version 2\nwindow_width 800\n", {950, 650, 0, 0, 1}},
        {"empty file", "", {950, 650, 0, 0, 1}},
        {"misplaced key", "version 1\nwindow_height 600\nwindow_width 800\nwindow_x 10\n", {950, 650, 0, 0, 1}},
        {"ends after window_height", "version 1\nwindow_width 800\nwindow_height 600\n", {800, 600, 0, 0, 1}},
        {"not a number", "version 1\nwindow_width abc\nwindow_height 600\n", {950, 650, 0, 0, 1}},
        {"cut inside a key", "version 1\nwindow_width 800\nwindow_heig", {800, 650, 0, 0, 1}},
        // "0x" without a hex digit is 0, and reading goes on after the x.
        {"0x alone", "version 1\nwindow_width 800\nwindow_height 600\nwindow_x 0x\nwindow_y 5\n",
         {800, 600, 0, 5, 1}},
        {"octal and hex", "version 0x1\nwindow_width 010\nwindow_height 0x10\nwindow_x -010\n"
                          "window_y +0X1f\nwindow_maximized 00\n", {8, 16, -8, 31, 0}},
        // "09": octal 0, then "9" fails the next key.
        {"09", "version 1\nwindow_width 09\nwindow_height 5\n", {0, 650, 0, 0, 1}},
        {"out of range saturates", "version 1\nwindow_width 99999999999\nwindow_height -2147483649\n"
                                   "window_x 0xFFFFFFFFFFFFFFFFFFFF\nwindow_y -2147483648\n"
                                   "window_maximized 2147483647\n",
         {INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN, INT32_MAX}},
    };
    for (const auto& c : cases) {
        SetUp();
        SCOPED_TRACE(c.what);
        const int* e = c.expected;
        ExpectPlacement(Read(c.text), e[0], e[1], e[2], e[3], e[4]);
    }
}

TEST_F(SettingsTest, MissingFileChangesNothingAndLogsTheRead)
{
    LogOpen(dir.File("log.txt").c_str());
    ReadConfig(dir.File("absent.txt").c_str());
    ExpectPlacement(window_state, 950, 650, 0, 0, 1);
    EXPECT_EQ(ReadLines(dir.File("log.txt")), std::vector<std::string>{"reading config"});
}

TEST_F(SettingsTest, UnwritableConfigIsLeftAloneAndLogged)
{
    LogOpen(dir.File("log.txt").c_str());
    WriteConfig(dir.File("missing-folder/config.txt").c_str());
    EXPECT_EQ(ReadLines(dir.File("log.txt")), std::vector<std::string>{"writing config"});
}

#ifndef _WIN32
TEST_F(SettingsTest, AWriteThatFailsLeavesTheOldFileWhole)
{
    window_state = {1234, 567, -8, -32000, 0, false, 0, 0};
    WriteConfig(config.c_str());
    const std::string before = ReadWholeFile(config);
    // A disk that is full after 20 bytes.
    window_state = kDefaults;
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit full_disk = {20, limit.rlim_max};
    setrlimit(RLIMIT_FSIZE, &full_disk);
    WriteConfig(config.c_str());
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(ReadWholeFile(config), before);
    EXPECT_FALSE(FileExists(config + ".tmp"));
}
#endif

TEST_F(SettingsTest, ProgramPathJoinsTheDirectoryAndSharesOneResult)
{
    EXPECT_STREQ(ProgramPath("config.txt"), "config.txt");

    SetProgramDirectory("D:\\work\\bin\\viewer.exe");
#ifdef _WIN32
    EXPECT_EQ(ProgramDirectory, "D:\\work\\bin\\");
    EXPECT_STREQ(ProgramPath("log.txt"), "D:\\work\\bin\\log.txt");
#else
    EXPECT_EQ(ProgramDirectory, "");  // a backslash is no separator here
#endif
    SetProgramDirectory("/opt/tw/bin/texwarp");
    EXPECT_EQ(ProgramDirectory, "/opt/tw/bin/");
    const char* first = ProgramPath("config.txt");
    EXPECT_STREQ(first, "/opt/tw/bin/config.txt");
    ProgramPath("log.txt");
    EXPECT_STREQ(first, "/opt/tw/bin/log.txt");  // one buffer, replaced

    const std::string long_dir = "/" + std::string(600, 'd') + "/";
    SetProgramDirectory((long_dir + "texwarp").c_str());
    EXPECT_EQ(std::string(ProgramPath("config.txt")), long_dir + "config.txt");
}

TEST_F(SettingsTest, StartupPathsUsesTheExecutablesDirectory)
{
    StartupPaths();
    ASSERT_FALSE(ProgramDirectory.empty());
    const char last = ProgramDirectory.back();
#ifdef _WIN32
    EXPECT_EQ(last, '\\');
#else
    EXPECT_EQ(last, '/');
#endif
    const std::string log_path = ProgramDirectory + "log.txt";
    const auto lines = ReadLines(log_path);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "log start -> '" + log_path + "'");
    EXPECT_EQ(lines[1], "reading config");
    std::remove(log_path.c_str());
}

}  // namespace
