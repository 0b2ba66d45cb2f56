// Whole-file writes on Windows: CREATE_NEW creation, _commit, MoveFileEx; temporaries
// removed on the console's Ctrl-C, Ctrl-Break and close.
#include "support/safe_write.h"

#include "support/file_names.h"

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
    // NOTE: shared for deletion, so that an interruption can remove it while it is open:
    // it goes when the last handle closes.
    const HANDLE handle = CreateFileW(WideName(path).c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
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
        DeleteFileW(WideName(path).c_str());
    }
    return file;
}

bool SyncToDisk(FILE* file)
{
    return _commit(_fileno(file)) == 0;
}

bool ReplaceWith(const std::string& from, const std::string& to, int* error)
{
    // NOTE: while another process replaces the same destination, or holds it open
    // without sharing deletion, Windows refuses the rename for a moment: try again.
    const std::wstring source = WideName(from), destination = WideName(to);
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExW(source.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        const DWORD code = GetLastError();
        if (attempt == 100 || (code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION)) {
            *error = ErrnoOf(code);
            return false;
        }
        Sleep(10);
    }
}

unsigned long ProcessNumber()
{
    return static_cast<unsigned long>(_getpid());
}

void KeepAttributes(FILE*, const std::string&)
{
    // NOTE: a new file takes its folder's inherited permissions, as the replaced one did
    // unless they were set on it alone; those are not copied.
}

void RemoveTemporary(const char* path)
{
    DeleteFileW(WideName(path).c_str());
}

static BOOL WINAPI OnConsoleEvent(DWORD)
{
    RemoveLiveTemporaries();
    return FALSE;  // then the default: the process ends
}

void RemoveTemporariesWhenInterrupted()
{
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}
