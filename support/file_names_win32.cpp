// File names on Windows: UTF-8 inside, UTF-16 for the system.
#include "support/file_names.h"

#include <windows.h>

#include <shellapi.h>

std::wstring WideName(const std::string& name)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, name.data(), int(name.size()), nullptr, 0);
    std::wstring wide(size_t(length > 0 ? length : 0), L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_UTF8, 0, name.data(), int(name.size()), &wide[0], length);
    return wide;
}

std::string Utf8Name(const wchar_t* name, size_t length)
{
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, name, int(length), nullptr, 0, nullptr, nullptr);
    std::string utf8(size_t(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, name, int(length), &utf8[0], bytes, nullptr, nullptr);
    return utf8;
}

FILE* OpenFile(const char* path, const char* mode)
{
    return _wfopen(WideName(path).c_str(), WideName(mode).c_str());
}

bool SeekFile(FILE* file, uint64_t position)
{
    return _fseeki64(file, int64_t(position), SEEK_SET) == 0;
}

uint64_t TellFile(FILE* file)
{
    return uint64_t(_ftelli64(file));
}

std::vector<std::string> CommandArguments(int argc, char** argv)
{
    // NOTE: main's argv is in the ANSI code page, which loses what it lacks.
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide)
        return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i)
        arguments.push_back(Utf8Name(wide[i], wcslen(wide[i])));
    LocalFree(wide);
    return arguments;
}

bool SameFileName(const std::string& a, const std::string& b)
{
    // NOTE: NTFS compares names by the upper-case table of the system, which
    // CompareStringOrdinal applies when told to ignore case: Ä and ä, Ω and ω are one name.
    const std::wstring wa = WideName(a), wb = WideName(b);
    return CompareStringOrdinal(wa.c_str(), int(wa.size()), wb.c_str(), int(wb.size()), TRUE) == CSTR_EQUAL;
}
