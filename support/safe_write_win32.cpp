// Whole-file writes on Windows: CREATE_NEW creation, _commit, MoveFileEx.
#include "support/safe_write.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <process.h>

#include <cerrno>
#include <cstdio>

static int ErrnoOf(DWORD code)
{
    switch (code) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    default:
        return EIO;
    }
}

FILE* CreateExclusive(const std::string& path, bool binary, int* error)
{
    // NOTE: CREATE_NEW fails on any existing name, a link's included.
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                      nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = ErrnoOf(GetLastError());
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), binary ? _O_BINARY : _O_TEXT);
    FILE* file = fd >= 0 ? _fdopen(fd, binary ? "wb" : "w") : nullptr;
    if (!file) {
        *error = EIO;
        if (fd >= 0)
            _close(fd);
        else
            CloseHandle(handle);
        DeleteFileA(path.c_str());
    }
    return file;
}

bool SyncToDisk(FILE* file)
{
    return _commit(_fileno(file)) == 0;
}

bool ReplaceWith(const std::string& from, const std::string& to, int* error)
{
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    *error = ErrnoOf(GetLastError());
    return false;
}

unsigned long ProcessNumber()
{
    return static_cast<unsigned long>(_getpid());
}
