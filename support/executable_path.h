// The running executable's full path: the program's one OS-specific query outside shell/.
#pragma once

#include <string>

// The characters that end a directory in a path on this OS.
extern const char PATH_SEPARATORS[];

// Fills `path` with the executable's full path, whatever its length; false (and
// `path` untouched) when the OS cannot tell.
bool ExecutablePath(std::string& path);
