// Settings file and program paths.
#include "support/settings.h"

#include <climits>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "support/executable_path.h"
#include "support/file_names.h"
#include "support/log.h"
#include "support/safe_write.h"
#include "support/window_state.h"

std::string ProgramDirectory;
static std::string path_result;

void SetProgramDirectory(const char* executable_path)
{
    const std::string path = executable_path;
    const size_t cut = path.find_last_of(PATH_SEPARATORS);
    ProgramDirectory = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

void StartupPaths()
{
    std::string executable;
    if (ExecutablePath(executable))
        SetProgramDirectory(executable.c_str());
    const std::string log_path = ProgramDirectory + "log.txt";
    LogOpen(log_path.c_str());
    LogMessage("log start -> '%s'", log_path.c_str());
    ReadConfig(ProgramPath("config.txt"));
}

const char* ProgramPath(const char* name)
{
    path_result = ProgramDirectory;
    path_result += name;
    return path_result.c_str();
}

// The settings are read by scanf's rules for "key %i\n" formats, written out here so
// that an out-of-range value has a defined result (it saturates) on every C runtime.

static bool IsBlank(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

static void SkipBlanks(FILE* f)
{
    int c;
    while ((c = std::getc(f)) != EOF && IsBlank(c)) {
    }
    if (c != EOF)
        std::ungetc(c, f);
}

static int DigitValue(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 99;
}

// scanf's %i: optional sign, then 0x for hexadecimal, 0 for octal, else decimal.
static bool ScanInteger(FILE* f, int32_t* value)
{
    SkipBlanks(f);
    int c = std::getc(f);
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = std::getc(f);
    }
    int base = 10;
    bool any_digit = false;
    if (c == '0') {
        any_digit = true;
        base = 8;
        c = std::getc(f);
        if (c == 'x' || c == 'X') {
            base = 16;
            c = std::getc(f);
        }
    }
    int64_t magnitude = 0;
    for (; c != EOF && DigitValue(c) < base; c = std::getc(f)) {
        any_digit = true;
        if (magnitude <= INT64_C(1) << 40)  // saturates long before it could overflow
            magnitude = magnitude * base + DigitValue(c);
    }
    if (c != EOF)
        std::ungetc(c, f);
    if (!any_digit)
        return false;
    const int64_t signed_value = negative ? -magnitude : magnitude;
    *value = signed_value > INT32_MAX ? INT32_MAX
           : signed_value < INT32_MIN ? INT32_MIN
                                      : static_cast<int32_t>(signed_value);
    return true;
}

// Reads "<key> %i\n": the key character for character, then the value. On a
// mismatch the stream stands at the first character that did not match.
static bool ScanSetting(FILE* f, const char* key, int32_t* value)
{
    for (const char* k = key; *k; ++k) {
        const int c = std::getc(f);
        if (c != static_cast<unsigned char>(*k)) {
            if (c != EOF)
                std::ungetc(c, f);
            return false;
        }
    }
    if (!ScanInteger(f, value))
        return false;
    SkipBlanks(f);
    return true;
}

void ReadConfig(const char* path)
{
    LogMessage("reading config");
    FILE* f = OpenFile(path, "r");
    if (!f)
        return;
    ReadConfigFrom(f);
    std::fclose(f);
}

void ReadConfigFrom(FILE* f)
{
    int32_t version = 0;
    ScanSetting(f, "version", &version);
    if (version == SETTINGS_VERSION) {
        ScanSetting(f, "window_width", &window_state.window_width);
        ScanSetting(f, "window_height", &window_state.window_height);
        ScanSetting(f, "window_x", &window_state.window_x);
        ScanSetting(f, "window_y", &window_state.window_y);
        ScanSetting(f, "window_maximized", &window_state.window_maximized);
    }
}

// The six lines; false when any of them could not be written.
static bool WriteSettings(FILE* f)
{
    const struct {
        const char* format;
        int32_t value;
    } lines[] = {
        {"version %i\n", SETTINGS_VERSION},
        {"window_width %i\n", window_state.window_width},
        {"window_height %i\n", window_state.window_height},
        {"window_x %i\n", window_state.window_x},
        {"window_y %i\n", window_state.window_y},
        {"window_maximized %i\n", window_state.window_maximized},
    };
    bool written = true;
    for (const auto& line : lines)
        written = std::fprintf(f, line.format, static_cast<int>(line.value)) > 0 && written;
    return std::fflush(f) == 0 && written;
}

void WriteConfig(const char* path)
{
    LogMessage("writing config");
    // Whole or not at all: the lines go to a file of their own beside it, which then
    // replaces it, so a full disk or a crash never leaves a cut config.txt behind.
    SafeFile file;
    int error = 0;
    if (!OpenSafeFile(path, false, &file, &error))
        return;
    if (WriteSettings(file.file))
        CommitSafeFile(&file, &error);
    else
        DiscardSafeFile(&file);
}
