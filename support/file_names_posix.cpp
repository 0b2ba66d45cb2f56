// File names on POSIX: already bytes, UTF-8 by convention.
#include "support/file_names.h"

FILE* OpenFile(const char* path, const char* mode)
{
    return std::fopen(path, mode);
}

std::vector<std::string> CommandArguments(int argc, char** argv)
{
    return std::vector<std::string>(argv, argv + argc);
}
