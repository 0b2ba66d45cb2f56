// Whole-file writes on POSIX: O_EXCL creation, fsync, rename.
#include "support/safe_write.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

FILE* CreateExclusive(const std::string& path, bool, int* error)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    FILE* file = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    *error = errno;
    if (fd >= 0 && !file) {
        close(fd);
        unlink(path.c_str());
    }
    return file;
}

bool SyncToDisk(FILE* file)
{
    return fsync(fileno(file)) == 0;
}

bool ReplaceWith(const std::string& from, const std::string& to, int* error)
{
    if (std::rename(from.c_str(), to.c_str()) == 0)
        return true;
    *error = errno;
    return false;
}

unsigned long ProcessNumber()
{
    return static_cast<unsigned long>(getpid());
}
