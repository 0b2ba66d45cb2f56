// File names are UTF-8 throughout the program. Files open and paths form through these,
// on Windows through the wide API, so that names beyond the ANSI code page (Cyrillic,
// CJK) work as they are.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

FILE* OpenFile(const char* path, const char* mode);
// Positions past 2 GB, which a long is too small for on Windows; false where it fails.
bool SeekFile(FILE* file, uint64_t position);
uint64_t TellFile(FILE* file);

inline std::filesystem::path PathOf(const std::string& name)
{
    return std::filesystem::u8path(name);
}

inline std::string NameOf(const std::filesystem::path& path)
{
    return path.u8string();
}

// A name as messages show it: in quotes, with control characters written out (\n,
// \x1B) so that no name can split a message or forge a line of its own.
std::string QuotedName(const std::string& name);

// Whether two names are one file to the system: on Windows names that differ only in
// case, as the file system folds case (any letter it folds, not only ASCII).
bool SameFileName(const std::string& a, const std::string& b);

// The command line's arguments, the program's name first (on Windows from the wide
// command line, whatever main was given).
std::vector<std::string> CommandArguments(int argc, char** argv);

#ifdef _WIN32
std::wstring WideName(const std::string& name);
std::string Utf8Name(const wchar_t* name, size_t length);
#endif
