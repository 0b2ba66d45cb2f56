// Test helpers for files.
#include "testlib/temp_dir.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

TempDir::TempDir()
{
    static std::atomic<int> serial{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    fs::path dir = fs::temp_directory_path() /
                   ("texwarp-test-" + std::to_string(stamp) + "-" + std::to_string(serial++));
    fs::create_directories(dir);
    path = (dir / "").string();
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

std::string TempDir::File(const std::string& name) const
{
    return path + name;
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteWholeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path)
{
    return fs::exists(path);
}

ScopedCurrentDir::ScopedCurrentDir(const std::string& dir)
    : previous_(fs::current_path().string())
{
    fs::current_path(dir);
}

ScopedCurrentDir::~ScopedCurrentDir()
{
    fs::current_path(previous_);
}

std::vector<std::string> ReadLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::istringstream in(ReadWholeFile(path));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}
