// Log file: flood limit, resume arithmetic, formatting and unwritable files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/log.h"
#include "testlib/temp_dir.h"

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { log_state = LogState(); }
    void TearDown() override { log_state = LogState(); }
    std::vector<std::string> Lines() const { return ReadLines(log_path); }
    TempDir dir;
    const std::string log_path = dir.File("log.txt");
};

void WriteNumbered(int first, int count)
{
    for (int i = first; i < first + count; ++i)
        LogMessage("line %i", i);
}

TEST_F(LogTest, CallsBeforeOpenAreDroppedAndNotCounted)
{
    LogMessage("early");
    LogResume();
    EXPECT_FALSE(FileExists(log_path));
    EXPECT_FALSE(log_state.enabled);

    LogOpen(log_path.c_str());
    WriteNumbered(1, 499);
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 499u);
    EXPECT_EQ(lines.front(), "line 1");
    EXPECT_EQ(lines.back(), "line 499");
}

TEST_F(LogTest, FloodNoticeReplacesThe500thCallAndLaterCallsAddNothing)
{
    LogOpen(log_path.c_str());
    WriteNumbered(1, 500);
    const std::string after_500 = ReadWholeFile(log_path);
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 501u);
    EXPECT_EQ(lines[498], "line 499");
    EXPECT_EQ(lines[499], "---- Log flood prevention");
    EXPECT_EQ(lines[500], "");

    WriteNumbered(501, 100);
    EXPECT_EQ(ReadWholeFile(log_path), after_500);
    EXPECT_EQ(log_state.counter, LOG_LINE_LIMIT);  // stops instead of growing
}

TEST_F(LogTest, ResumeAfterFloodLetsTwoLinesThroughThenFloodsAgain)
{
    LogOpen(log_path.c_str());
    WriteNumbered(1, 600);
    LogResume();
    EXPECT_EQ(log_state.counter, LOG_RESUME_CEILING);
    LogMessage("after a");
    LogMessage("after b");
    LogMessage("after c");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 505u);
    EXPECT_EQ(lines[499], "---- Log flood prevention");
    EXPECT_EQ(lines[501], "after a");
    EXPECT_EQ(lines[502], "after b");
    EXPECT_EQ(lines[503], "---- Log flood prevention");
    EXPECT_EQ(lines[504], "");
}

TEST_F(LogTest, ResumeBelowTheCeilingKeepsTheCounter)
{
    LogOpen(log_path.c_str());
    WriteNumbered(1, 10);
    LogResume();
    EXPECT_EQ(log_state.counter, 10);
}

TEST_F(LogTest, OpenEmptiesAnExistingFileAndRestartsTheCount)
{
    WriteWholeFile(log_path, std::string(100000, 'x'));
    LogOpen(log_path.c_str());
    EXPECT_EQ(ReadWholeFile(log_path), "");
    WriteNumbered(1, 600);
    LogOpen(log_path.c_str());
    LogMessage("fresh");
    EXPECT_EQ(Lines(), std::vector<std::string>{"fresh"});
}

TEST_F(LogTest, PercentInArgumentsReachesTheFileUnchanged)
{
    LogOpen(log_path.c_str());
    LogMessage("'%s'", "C:\\100%s\\%n%d");
    EXPECT_EQ(Lines(), std::vector<std::string>{"'C:\\100%s\\%n%d'"});
}

TEST_F(LogTest, MessagesAreKeptUpTo1023CharactersAndCutAfter)
{
    LogOpen(log_path.c_str());
    const std::string exact(1023, 'a');
    const std::string longer = std::string(1023, 'b') + "cdef";
    LogMessage("%s", exact.c_str());
    LogMessage("%s", longer.c_str());
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], exact);
    EXPECT_EQ(lines[1], std::string(1023, 'b'));
}

TEST_F(LogTest, LongPathIsUsedWholeNeverCut)
{
    // A path far beyond 511 characters, built from short folder names.
    std::string deep = dir.path;
    while (deep.size() < 700) {
        deep += "abcdefghij/";
    }
    std::error_code error;
    std::filesystem::create_directories(deep, error);
    if (error)
        GTEST_SKIP() << "this file system refuses paths of " << deep.size() << " characters";
    const std::string path = deep + "log.txt";
    LogOpen(path.c_str());
    LogMessage("deep %i", 1);
    EXPECT_EQ(ReadLines(path), std::vector<std::string>{"deep 1"});
    EXPECT_FALSE(FileExists(deep.substr(0, 511)));
}

TEST_F(LogTest, UnwritableLogChangesNothingElse)
{
    const std::string path = dir.File("no-such-folder/log.txt");
    LogOpen(path.c_str());
    LogMessage("lost");
    EXPECT_TRUE(log_state.open);
    EXPECT_EQ(log_state.counter, 1);
    EXPECT_FALSE(FileExists(path));
}

}  // namespace
