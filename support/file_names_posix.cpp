// File names on POSIX: already bytes, UTF-8 by convention.
#include "support/file_names.h"

#include <algorithm>

FILE* OpenFile(const char* path, const char* mode)
{
    return std::fopen(path, mode);
}

bool SeekFile(FILE* file, uint64_t position)
{
    return fseeko(file, off_t(position), SEEK_SET) == 0;
}

uint64_t TellFile(FILE* file)
{
    return uint64_t(ftello(file));
}

std::vector<std::string> CommandArguments(int argc, char** argv)
{
    return std::vector<std::string>(argv, argv + argc);
}

bool SameFileName(const std::string& a, const std::string& b)
{
#ifdef __APPLE__
    // NOTE: macOS's usual file system folds case; here for ASCII letters only.
    const auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c); };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
#else
    return a == b;
#endif
}
