// The executable's path on Linux, from /proc/self/exe.
#include "support/executable_path.h"

#include <unistd.h>

#include <vector>

const char PATH_SEPARATORS[] = "/";

bool ExecutablePath(std::string& path)
{
    std::vector<char> buffer(512);
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length <= 0)
            return false;
        if (static_cast<size_t>(length) < buffer.size()) {  // not cut
            path.assign(buffer.data(), static_cast<size_t>(length));
            return true;
        }
        if (buffer.size() >= (1u << 20))
            return false;
        buffer.resize(buffer.size() * 2);
    }
}
