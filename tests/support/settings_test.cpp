// Settings file: the reading rules as one table, the round trip, and writes that fail.
// (The paths beside the executable are the end-to-end run's: the viewer's first log line.)
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/settings.h"
#include "support/window_state.h"
#include "testlib/files.h"
#include "testlib/placement.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace {

const WindowState kDefaults = {950, 650, 0, 0, 1, false, 0, 0};

TEST(Settings, ReadingRules)
{
    const std::string body = "version 1\nwindow_width 800\nwindow_height 600\n"
                             "window_x 10\nwindow_y 20\nwindow_maximized 0\n";
    const std::vector<int> unchanged = {950, 650, 0, 0, 1};
    const struct {
        std::string text;
        std::vector<int> expected;  // width, height, x, y, maximized
    } rows[] = {
        {body, {800, 600, 10, 20, 0}},
        {"version 1\r\nwindow_width 800\r\nwindow_height 600\r\nwindow_x 10\r\nwindow_y 20\r\n"
         "window_maximized 0\r\n", {800, 600, 10, 20, 0}},
        {"version\t1\n\n\nwindow_width \v\f 800\n\nwindow_height\t600\nwindow_x   10\nwindow_y 20\n"
         "window_maximized 2\nextra 5\n", {800, 600, 10, 20, 2}},
        {"version1window_width800window_height600window_x10window_y20window_maximized0", {800, 600, 10, 20, 0}},
        {"\n" + body, unchanged}, {" " + body, unchanged}, {"\xEF\xBB\xBF" + body, unchanged}, {"", unchanged},
        {"version 2\nwindow_width 800\n", unchanged},
        {"window_width 800\nwindow_height 600\n", unchanged},  // no version line
        {"version 1\nxwindow_width 800\n", unchanged},          // a stray character before a key
        {"version 1\nwindow_height 600\nwindow_width 800\nwindow_x 10\n", unchanged},
        {"version 1\nwindow_width 800\nwindow_height 600\n", {800, 600, 0, 0, 1}},
        {"version 1\nwindow_width abc\nwindow_height 600\n", unchanged},
        {"version 1\nwindow_width -\nwindow_height 600\n", unchanged},  // a bare sign
        {"version 1\nwindow_width 800\nwindow_heig", {800, 650, 0, 0, 1}},
        // "0x" without a hex digit is 0, and reading goes on after the x.
        {"version 1\nwindow_width 800\nwindow_height 600\nwindow_x 0x\nwindow_y 5\n", {800, 600, 0, 5, 1}},
        {"version 0x1\nwindow_width 010\nwindow_height 0x10\nwindow_x -010\nwindow_y +0X1f\nwindow_maximized 0xabcde\n",
         {8, 16, -8, 31, 0xabcde}},
        {"version 1\nwindow_width 09\nwindow_height 5\n", {0, 650, 0, 0, 1}},  // octal 0, then "9" fails
        {"version 1\nwindow_width 99999999999\nwindow_height -2147483649\nwindow_x 0xFFFFFFFFFFFFFFFFFFFF\n"
         "window_y -2147483648\nwindow_maximized 2147483647\n",
         {INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN, INT32_MAX}},
    };
    TempDir dir;
    const std::string config = dir.File("config.txt");
    for (const auto& row : rows) {
        window_state = kDefaults;
        WriteWholeFile(config, row.text);
        ReadConfig(config.c_str());
        EXPECT_EQ(Placement(), row.expected) << row.text;
    }
}

TEST(Settings, WrittenWholeAndReadBack)
{
    TempDir dir;
    const std::string config = dir.File("config.txt");
    window_state = {1234, 567, -8, -32000, 0, false, 0, 0};
    WriteConfig(config.c_str());
    EXPECT_EQ(ReadLines(config), (std::vector<std::string>{"version 1", "window_width 1234", "window_height 567",
                                                           "window_x -8", "window_y -32000", "window_maximized 0"}));
    window_state = kDefaults;
    ReadConfig(config.c_str());
    ReadConfig(dir.File("absent.txt").c_str());
    WriteConfig(dir.File("missing-folder/config.txt").c_str());
    EXPECT_EQ(Placement(), (std::vector<int>{1234, 567, -8, -32000, 0}));
#ifndef _WIN32
    // A disk that is full after 20 bytes: the old file stays whole, nothing is left beside it.
    const std::string before = ReadWholeFile(config);
    window_state = kDefaults;
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit full_disk = {20, limit.rlim_max};
    setrlimit(RLIMIT_FSIZE, &full_disk);
    WriteConfig(config.c_str());
    setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_EQ(ReadWholeFile(config), before);
    EXPECT_FALSE(std::filesystem::exists(config + ".tmp"));
#endif
}

}  // namespace
