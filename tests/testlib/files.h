// Test helpers: a temporary folder that removes itself, and whole files.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct TempDir {
    // Named by the clock and a count, so that tests in parallel processes never share one.
    std::string path = (std::filesystem::temp_directory_path() /
                        ("texwarp-test-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
                         "-" + std::to_string(serial++)) / "").string();
    TempDir() { std::filesystem::create_directories(path); }
    ~TempDir() { std::error_code ignored; std::filesystem::remove_all(path, ignored); }
    std::string File(const std::string& name) const { return path + name; }
    static inline int serial = 0;
};

// Paths are UTF-8, as the program's are.
inline std::string ReadWholeFile(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(std::filesystem::u8path(path), std::ios::binary).rdbuf();
    return text.str();
}

inline void WriteWholeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(std::filesystem::u8path(path), std::ios::binary) << bytes;
}

// The lines of a text file, without their line ends (LF or CR LF).
inline std::vector<std::string> ReadLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::istringstream in(ReadWholeFile(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(0, line.find_last_not_of('\r') + 1));
    return lines;
}
