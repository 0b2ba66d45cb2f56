// Log file: the whole file after floods, resumes, long and odd messages.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/log.h"
#include "testlib/files.h"

namespace {

void Numbered(int first, int last)
{
    for (int i = first; i <= last; ++i)
        LogMessage("line %i", i);
}

std::vector<std::string> NumberedLines(int first, int last)
{
    std::vector<std::string> lines;
    for (int i = first; i <= last; ++i)
        lines.push_back("line " + std::to_string(i));
    return lines;
}

TEST(Log, FloodResumeAndMessagesAsTheyStand)
{
    TempDir dir;
    const std::string path = dir.File("log.txt");
    log_state = LogState();
    LogMessage("before the log is open");
    LogResume();
    EXPECT_FALSE(std::filesystem::exists(path));

    WriteWholeFile(path, std::string(5000, 'x'));  // emptied by LogOpen
    LogOpen(path.c_str());
    LogMessage("'%s'", "C:\\100%s\\%n%d");
    LogMessage("%s", std::string(1023, 'a').c_str());
    LogMessage("%s", (std::string(1023, 'b') + "cut").c_str());
    Numbered(4, 600);  // the 500th call writes the notice, later ones nothing
    LogResume();
    LogMessage("after a");
    LogMessage("after b");
    LogMessage("after c");
    std::vector<std::string> expected = {"'C:\\100%s\\%n%d'", std::string(1023, 'a'), std::string(1023, 'b')};
    for (const std::string& line : NumberedLines(4, 499))
        expected.push_back(line);
    for (const char* line : {"---- Log flood prevention", "", "after a", "after b", "---- Log flood prevention", ""})
        expected.push_back(line);
    EXPECT_EQ(ReadLines(path), expected);

    // Below the ceiling a resume changes nothing: 499 lines before the notice still.
    LogOpen(path.c_str());
    Numbered(1, 10);
    LogResume();
    Numbered(11, 501);
    expected = NumberedLines(1, 499);
    expected.insert(expected.end(), {"---- Log flood prevention", ""});
    EXPECT_EQ(ReadLines(path), expected);
    log_state = LogState();
}

std::vector<std::string> sunk;

TEST(Log, ASinkTakesEveryLineInsteadOfTheFile)
{
    TempDir dir;
    LogOpen(dir.File("log.txt").c_str());
    LogToSink([](const char* line) { sunk.push_back(line); });
    Numbered(1, 600);  // no flood limit
    LogToSink(nullptr);
    LogMessage("to the file");
    EXPECT_EQ(sunk.size(), 600u);
    EXPECT_EQ(sunk.back(), "line 600");
    EXPECT_EQ(ReadLines(dir.File("log.txt")), std::vector<std::string>{"to the file"});
    log_state = LogState();
}

TEST(Log, PathsOfAnyLengthAndUnwritableFolders)
{
    TempDir dir;
    std::string deep = dir.path;
    while (deep.size() < 700)
        deep += "abcdefghij/";
    std::error_code error;
    std::filesystem::create_directories(deep, error);
    if (!error) {
        LogOpen((deep + "log.txt").c_str());
        LogMessage("deep %i", 1);
        EXPECT_EQ(ReadLines(deep + "log.txt"), std::vector<std::string>{"deep 1"});
    }
    // A log that cannot be written leaves every call quiet.
    LogOpen(dir.File("missing/log.txt").c_str());
    LogMessage("lost");
    EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
    log_state = LogState();
}

}  // namespace
