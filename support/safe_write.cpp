// Whole-file writes through a temporary file of their own.
#include "support/safe_write.h"

#include "support/file_names.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

namespace fs = std::filesystem;

// Temporaries being written, for an interruption to remove: fixed slots, so that a
// signal handler reads them without allocating or locking. A slot is 1 while its name
// is live, 2 while it is being filled.
constexpr int LIVE_SLOTS = 64;
constexpr size_t LIVE_NAME = 4096;
std::atomic<int> live_state[LIVE_SLOTS];
char live_names[LIVE_SLOTS][LIVE_NAME];

int Track(const std::string& name)
{
    if (name.size() >= LIVE_NAME)
        return -1;
    for (int slot = 0; slot < LIVE_SLOTS; ++slot) {
        int free = 0;
        if (live_state[slot].compare_exchange_strong(free, 2)) {
            std::memcpy(live_names[slot], name.c_str(), name.size() + 1);
            live_state[slot] = 1;
            return slot;
        }
    }
    return -1;
}

void Untrack(SafeFile* file)
{
    if (file->slot >= 0)
        live_state[file->slot] = 0;
    file->slot = -1;
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

bool ResolveLinks(const std::string& path, std::string* resolved, int* error)
{
    // At most 40 links, as POSIX systems follow.
    fs::path at = PathOf(path);
    std::error_code failure;
    for (int i = 0; fs::is_symlink(at, failure); ++i) {
        const fs::path target = fs::read_symlink(at, failure);
        if (failure || i == 40) {
            *error = failure ? failure.value() : ELOOP;
            return false;
        }
        at = target.is_absolute() ? target : at.parent_path() / target;
    }
    *resolved = NameOf(at);
    return true;
}

bool OpenSafeFile(const char* path, bool binary, SafeFile* out, int* error)
{
    SafeFile made;
    if (!ResolveLinks(path, &made.destination, error))
        return false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        made.temporary = TemporaryName(made.destination);
        made.file = CreateExclusive(made.temporary, binary, error);
        if (made.file) {
            made.slot = Track(made.temporary);
            KeepAttributes(made.file, made.destination);
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
    if (synced && ReplaceWith(file->temporary, file->destination, error)) {
        Untrack(file);
        return true;
    }
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
    Untrack(file);
}

void RemoveLiveTemporaries()
{
    for (int slot = 0; slot < LIVE_SLOTS; ++slot)
        if (live_state[slot] == 1)
            RemoveTemporary(live_names[slot]);
}
