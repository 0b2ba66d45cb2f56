// The bake's stage lines and messages on standard error: a line per stage, a
// percentage for long stages on a terminal, and failures with their exit codes.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start);
bool ErrorIsTerminal();

struct Reporter {
    bool quiet = false;
    bool terminal = false;
    std::string stage;  // what the percentage is of
    std::string shown;  // the stage and percentage on the terminal, printed only when they change
    int percent = -1;
    // Set for work done beside other work: lines and failures are kept here, to be
    // printed in order, and no percentage is shown.
    std::string* held = nullptr;

    void Line(const char* format, ...) const;
    // The program-wide Fail, or kept with the lines.
    int Fail(int code, const std::string& message) const;
    // Prints lines another reporter held (failures among them, so even when quiet),
    // ending a percentage on the terminal first.
    void Release(const std::string& lines) const;
};

// Progress callbacks for the drawing and the writing; `context` is the Reporter.
void ShowProgress(int64_t done, int64_t total, void* context);
void ShowRowProgress(int32_t done, int32_t total, void* context);

// "texwarp-bake: MESSAGE" on its own line; returns `code`.
int Fail(int code, const std::string& message);
