// Settings file and program paths: config.txt and log.txt live beside the executable.
// StartupPaths finds that directory, opens the log and applies config.txt to
// window_state; WriteConfig stores the placement back at exit.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

constexpr int32_t SETTINGS_VERSION = 1;

// The executable's directory with its trailing separator; empty before StartupPaths
// or when the OS cannot tell (the two files then go to the current directory).
extern std::string ProgramDirectory;

// Sets ProgramDirectory from an executable's full path: everything up to and
// including its last separator.
void SetProgramDirectory(const char* executable_path);

void StartupPaths();

// The full path of `name` in ProgramDirectory. The text lives in one shared buffer
// that the next call replaces.
const char* ProgramPath(const char* name);

void ReadConfig(const char* path);
// The reading itself, from a stream standing at the file's first byte.
void ReadConfigFrom(FILE* file);
void WriteConfig(const char* path);
