// Whole-file writes through a temporary file of their own.
#include "support/safe_write.h"

#include "support/file_names.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <system_error>

namespace {

namespace fs = std::filesystem;

// The file a chain of symbolic links ends at (at most 40 of them, as POSIX allows).
std::string ThroughLinks(const std::string& path)
{
    fs::path at = PathOf(path);
    std::error_code error;
    for (int i = 0; i < 40 && fs::is_symlink(at, error); ++i) {
        const fs::path target = fs::read_symlink(at, error);
        if (error)
            break;
        at = target.is_absolute() ? target : at.parent_path() / target;
    }
    return NameOf(at);
}

// Unique within the process by its count, across processes by its number, across runs
// by the clock; creating it exclusively settles any clash left.
std::string TemporaryName(const std::string& destination)
{
    static std::atomic<unsigned> count{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    const fs::path folder = PathOf(destination).parent_path();
    const std::string name = ".texwarp-" + std::to_string(ProcessNumber()) + "-" + std::to_string(count++) + "-" +
                             std::to_string(static_cast<unsigned long long>(now) % 1000000007ull) + ".tmp";
    return NameOf(folder / name);
}

// Flushes what is buffered, syncs it to the disk and closes; false with the first
// failure's errno in *error.
bool SyncAndClose(FILE* file, int* error)
{
    errno = 0;
    const bool flushed = std::fflush(file) == 0 && !std::ferror(file) && SyncToDisk(file);
    const int flush_error = errno;
    const bool closed = std::fclose(file) == 0;
    if (flushed && closed)
        return true;
    *error = !flushed && flush_error ? flush_error : errno ? errno : EIO;
    return false;
}

}  // namespace

bool OpenSafeFile(const char* path, bool binary, SafeFile* out, int* error)
{
    SafeFile made;
    made.destination = ThroughLinks(path);
    for (int attempt = 0; attempt < 100; ++attempt) {
        made.temporary = TemporaryName(made.destination);
        made.file = CreateExclusive(made.temporary, binary, error);
        if (made.file) {
            *out = made;
            return true;
        }
        if (*error != EEXIST)
            return false;
    }
    return false;
}

bool CommitSafeFile(SafeFile* file, int* error)
{
    const bool synced = SyncAndClose(file->file, error);
    file->file = nullptr;
    if (synced && ReplaceWith(file->temporary, file->destination, error))
        return true;
    DiscardSafeFile(file);
    return false;
}

void DiscardSafeFile(SafeFile* file)
{
    if (file->file)
        std::fclose(file->file);
    file->file = nullptr;
    std::error_code ignored;
    fs::remove(PathOf(file->temporary), ignored);
}
