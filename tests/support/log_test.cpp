// Log file: the whole file after floods, resumes, long and odd messages, a sink, and a
// path that cannot be written.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/log.h"
#include "testlib/files.h"

namespace {

// Logs "line first" to "line last", and appends each to `lines` when given.
void Numbered(int first, int last, std::vector<std::string>* lines = nullptr)
{
    for (int i = first; i <= last; ++i) {
        LogMessage("line %i", i);
        if (lines)
            lines->push_back("line " + std::to_string(i));
    }
}

std::vector<std::string> sunk;

TEST(Log, FloodResumeSinkAndMessagesAsTheyStand)
{
    TempDir dir;
    const std::string path = dir.File("log.txt");
    log_state = LogState();
    WriteWholeFile(path, std::string(5000, 'x'));  // emptied by LogOpen
    LogOpen(path.c_str());
    LogMessage("'%s'", "C:\\100%s\\%n%d");
    LogMessage("%s", (std::string(1023, 'b') + "cut").c_str());
    std::vector<std::string> expected = {"'C:\\100%s\\%n%d'", std::string(1023, 'b')};
    Numbered(3, 600, &expected);  // the 500th call writes the notice, later ones nothing
    expected.resize(499);
    LogResume();
    for (const char* text : {"after a", "after b", "after c"})
        LogMessage("%s", text);
    expected.insert(expected.end(),
                    {"---- Log flood prevention", "", "after a", "after b", "---- Log flood prevention", ""});
    EXPECT_EQ(ReadLines(path), expected);

    // Below the ceiling a resume changes nothing: 499 lines, the notice and its empty line.
    // A sink then takes every line instead of the file, with no flood limit.
    LogOpen(path.c_str());
    Numbered(1, 10);
    LogResume();
    Numbered(11, 600);
    LogToSink([](const char* line) { sunk.push_back(line); });
    Numbered(1, 600);
    LogToSink(nullptr);
    EXPECT_EQ(ReadLines(path).size(), 501u);
    EXPECT_TRUE(sunk.size() == 600 && sunk.back() == "line 600");

    // A log that cannot be written leaves every call quiet.
    LogOpen(dir.File("missing/log.txt").c_str());
    LogMessage("lost");
    EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
}

}  // namespace
