// Test helpers for files: a temporary folder that removes itself, and whole-file I/O.
#pragma once

#include <string>

struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string File(const std::string& name) const;  // full path of a file inside
    std::string path;                                  // ends with a separator
};

std::string ReadWholeFile(const std::string& path);  // binary; empty when missing
void WriteWholeFile(const std::string& path, const std::string& bytes);  // binary
bool FileExists(const std::string& path);

// Runs `body` with the process's current directory set to `dir`.
class ScopedCurrentDir {
public:
    explicit ScopedCurrentDir(const std::string& dir);
    ~ScopedCurrentDir();
private:
    std::string previous_;
};

#include <vector>

// The lines of a text file, with the line ends (LF or CR LF) removed.
std::vector<std::string> ReadLines(const std::string& path);
