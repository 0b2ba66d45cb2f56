// The bake's stage lines, progress and failures.
#include "bake/report.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool ErrorIsTerminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

namespace {

// Whether a percentage stands on the terminal's last line, to be ended before a message.
bool progress_shown = false;

void EndPercentage()
{
    if (progress_shown)
        std::fputs("\r\033[K", stderr);
    progress_shown = false;
}

}  // namespace

void Reporter::Line(const char* format, ...) const
{
    if (quiet)
        return;
    va_list args;
    va_start(args, format);
    if (held) {
        va_list again;
        va_copy(again, args);
        const int length = std::vsnprintf(nullptr, 0, format, again);
        va_end(again);
        if (length > 0) {
            std::string line(size_t(length) + 1, '\0');
            std::vsnprintf(&line[0], line.size(), format, args);
            line.back() = '\n';
            *held += line;
        }
        va_end(args);
        return;
    }
    if (terminal)
        std::fputs("\r\033[K", stderr);
    progress_shown = false;
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

void ShowProgress(int64_t done, int64_t total, void* context)
{
    auto* reporter = static_cast<Reporter*>(context);
    const int percent = total > 0 ? int(done * 100 / total) : 100;
    if (reporter->quiet || !reporter->terminal || reporter->held || total <= 1 ||
        (progress_shown && reporter->shown == reporter->stage && reporter->percent == percent))
        return;
    progress_shown = true;
    reporter->shown = reporter->stage;
    reporter->percent = percent;
    std::fprintf(stderr, "\r\033[K%s %d%%", reporter->stage.c_str(), percent);
    std::fflush(stderr);
}

void ShowRowProgress(int32_t done, int32_t total, void* context)
{
    ShowProgress(done, total, context);
}

int Fail(int code, const std::string& message)
{
    EndPercentage();
    std::fprintf(stderr, "texwarp-bake: %s\n", message.c_str());
    return code;
}


int Reporter::Fail(int code, const std::string& message) const
{
    if (!held)
        return ::Fail(code, message);
    *held += "texwarp-bake: " + message + "\n";
    return code;
}

void Reporter::Release(const std::string& lines) const
{
    if (lines.empty())
        return;
    EndPercentage();
    std::fputs(lines.c_str(), stderr);
}
