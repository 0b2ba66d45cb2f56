// Log file: one printf-style line per call appended to log.txt, with a flood limit.
// LogOpen empties the file and starts logging; LogResume re-opens a flooded log for a
// few more lines. A log that cannot be written changes nothing else.
#pragma once

#include <cstdint>
#include <string>

constexpr int32_t LOG_LINE_LIMIT = 500;      // the call that writes the flood notice
constexpr int32_t LOG_RESUME_CEILING = 497;  // LogResume lowers a larger counter to this
constexpr int LOG_MESSAGE_SIZE = 1024;       // one formatted message: at most 1023 characters

struct LogState {
    std::string path;  // full path of the log file; any length, never cut
    bool open;         // LogOpen has run
    bool enabled;      // LogMessage writes only while set
    int32_t counter;   // LogMessage calls since LogOpen; stops at LOG_LINE_LIMIT
    void (*sink)(const char* line);  // takes the lines instead of the file while set
};

extern LogState log_state;

void LogOpen(const char* path);
// Sends every line to `sink` instead of a file, with no flood limit (null stops it):
// for programs that report on their own terms, such as the command-line bake.
void LogToSink(void (*sink)(const char* line));
#ifdef __GNUC__
void LogMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
#else
void LogMessage(const char* format, ...);
#endif
void LogResume();
