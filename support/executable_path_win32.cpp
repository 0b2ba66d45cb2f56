// The executable's path on Windows, from GetModuleFileNameA.
#include "support/executable_path.h"

#include <windows.h>

#include <vector>

const char PATH_SEPARATORS[] = "\\/";

bool ExecutablePath(std::string& path)
{
    // NOTE: GetModuleFileNameA cuts a long path to the buffer and returns its size;
    // only a result below the size is the whole path.
    std::vector<char> buffer(512);
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD length = GetModuleFileNameA(nullptr, buffer.data(), size);
        if (length == 0)
            return false;
        if (length < size) {
            path.assign(buffer.data(), length);
            return true;
        }
        if (buffer.size() >= 32768 * 4)  // beyond any Windows path
            return false;
        buffer.resize(buffer.size() * 2);
    }
}
