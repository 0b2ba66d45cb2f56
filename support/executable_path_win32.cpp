// The executable's path on Windows, from GetModuleFileNameW, in UTF-8.
#include "support/executable_path.h"

#include <windows.h>

#include <vector>

#include "support/file_names.h"

const char PATH_SEPARATORS[] = "\\/";

bool ExecutablePath(std::string& path)
{
    // NOTE: GetModuleFileNameW cuts a long path to the buffer and returns its size; only
    // a result below the size is the whole path. The wide call gives every name as it
    // is, where the ANSI one would put '?' for what the code page lacks.
    std::vector<wchar_t> buffer(512);
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
        if (length == 0)
            return false;
        if (length < size) {
            path = Utf8Name(buffer.data(), length);
            return true;
        }
        if (buffer.size() >= 32768 * 2)  // beyond any Windows path
            return false;
        buffer.resize(buffer.size() * 2);
    }
}
