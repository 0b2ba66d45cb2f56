// Whole-file writes on POSIX: O_EXCL creation, fsync, rename; temporaries removed on
// SIGINT, SIGTERM and SIGHUP.
#include "support/safe_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
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

void KeepAttributes(FILE* temporary, const std::string& destination)
{
    struct stat old;
    if (stat(destination.c_str(), &old) != 0 || !S_ISREG(old.st_mode))
        return;
    const int fd = fileno(temporary);
    fchmod(fd, old.st_mode & 07777);
    // Only a privileged process may give a file away; an owner may still set its group.
    if (fchown(fd, old.st_uid, old.st_gid) != 0 && fchown(fd, uid_t(-1), old.st_gid) != 0) {
        // Owner and group stay the process's own; the permissions are kept all the same.
    }
}

void RemoveTemporary(const char* path)
{
    unlink(path);
}

static void OnInterruption(int signal_number)
{
    RemoveLiveTemporaries();
    std::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

void RemoveTemporariesWhenInterrupted()
{
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction now {};
        // A signal ignored when the program started (nohup) stays ignored.
        if (sigaction(signal_number, nullptr, &now) != 0 || now.sa_handler == SIG_IGN)
            continue;
        struct sigaction handler {};
        handler.sa_handler = OnInterruption;
        sigemptyset(&handler.sa_mask);
        sigaction(signal_number, &handler, nullptr);
    }
}
