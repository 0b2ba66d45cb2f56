// Log file: every line is appended with its own open and close, so a crash loses nothing.
#include "support/log.h"

#include <cstdarg>
#include <cstdio>

#include "support/file_names.h"

LogState log_state;

void LogOpen(const char* path)
{
    log_state.path = path;
    // Emptied once per run; a failure here leaves later appends to fail quietly too.
    if (FILE* f = OpenFile(log_state.path.c_str(), "w"))
        std::fclose(f);
    log_state.open = true;
    log_state.enabled = true;
    log_state.counter = 0;
}

static void AppendToLog(const char* text)
{
    FILE* f = OpenFile(log_state.path.c_str(), "a");
    if (!f)
        return;
    std::fprintf(f, "%s\n", text);
    std::fclose(f);
}

void LogToSink(void (*sink)(const char* line))
{
    log_state.sink = sink;
}

static void FormatMessage(char* message, const char* format, va_list args)
{
    std::vsnprintf(message, LOG_MESSAGE_SIZE, format, args);  // cuts at 1023 characters
}

void LogMessage(const char* format, ...)
{
    char message[LOG_MESSAGE_SIZE];
    if (log_state.sink) {
        va_list args;
        va_start(args, format);
        FormatMessage(message, format, args);
        va_end(args);
        log_state.sink(message);
        return;
    }
    if (!log_state.enabled)
        return;
    if (log_state.counter >= LOG_LINE_LIMIT)
        return;  // flooded: the counter has nothing more to tell apart
    log_state.counter += 1;
    if (log_state.counter == LOG_LINE_LIMIT) {
        // The notice ends with its own empty line; AppendToLog adds the line end.
        AppendToLog("---- Log flood prevention\n");
        return;
    }

    va_list args;
    va_start(args, format);
    FormatMessage(message, format, args);
    va_end(args);
    AppendToLog(message);
}

void LogResume()
{
    if (!log_state.open)
        return;
    log_state.enabled = true;
    if (log_state.counter > LOG_RESUME_CEILING)
        log_state.counter = LOG_RESUME_CEILING;
}
