// Large blocks: mapped directly on Linux, the C heap elsewhere.
#include "assets/large_block.h"

#include <cstdlib>

#ifdef __linux__
#include <mutex>

#include <sys/mman.h>
#endif

bool LargeBlocksComeZeroed()
{
#ifdef __linux__
    return true;
#else
    return false;
#endif
}

void* LargeResize(void* block, size_t old_bytes, size_t new_bytes)
{
#ifdef __linux__
    void* grown = block ? mremap(block, old_bytes, new_bytes, MREMAP_MAYMOVE)
                        : mmap(nullptr, new_bytes, PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (grown == MAP_FAILED)
        return nullptr;
    return grown;
#else
    (void)old_bytes;
    return std::realloc(block, new_bytes);
#endif
}

#ifdef __linux__
namespace {

struct Kept {
    void* block;
    size_t bytes;
};

constexpr int KEPT_BLOCKS = 16;
constexpr size_t KEPT_MOST = size_t(256) << 20;
constexpr size_t KEPT_LEAST = size_t(1) << 20;

// Freed blocks waiting to be taken again; the lock serves callers on any thread.
struct KeptBlocks {
    std::mutex lock;
    bool keeping = false;
    Kept blocks[KEPT_BLOCKS] = {};
    size_t bytes = 0;
} kept;

// The smallest kept block of `bytes` or more, cut to that size; null for none.
void* TakeKept(size_t bytes)
{
    std::lock_guard<std::mutex> hold(kept.lock);
    Kept* best = nullptr;
    for (Kept& k : kept.blocks)
        if (k.block && k.bytes >= bytes && (!best || k.bytes < best->bytes))
            best = &k;
    if (!best)
        return nullptr;
    const Kept taken = *best;
    *best = Kept{};
    kept.bytes -= taken.bytes;
    void* block = taken.bytes == bytes ? taken.block : mremap(taken.block, taken.bytes, bytes, 0);
    if (block != MAP_FAILED)
        return block;
    munmap(taken.block, taken.bytes);
    return nullptr;
}

bool Keep(void* block, size_t bytes)
{
    std::lock_guard<std::mutex> hold(kept.lock);
    if (!kept.keeping || bytes < KEPT_LEAST || kept.bytes + bytes > KEPT_MOST)
        return false;
    for (Kept& k : kept.blocks)
        if (!k.block) {
            k = Kept{block, bytes};
            kept.bytes += bytes;
            return true;
        }
    return false;
}

}  // namespace
#endif

void* LargeTake(size_t bytes)
{
#ifdef __linux__
    if (void* block = TakeKept(bytes))
        return block;
#endif
    return LargeResize(nullptr, 0, bytes);
}

void LargeKeepFreed(bool keep)
{
#ifdef __linux__
    std::lock_guard<std::mutex> hold(kept.lock);
    kept.keeping = keep;
    for (Kept& k : kept.blocks)
        if (!keep && k.block) {
            munmap(k.block, k.bytes);
            k = Kept{};
        }
    if (!keep)
        kept.bytes = 0;
#else
    (void)keep;
#endif
}

void LargeFree(void* block, size_t bytes)
{
    if (!block)
        return;
#ifdef __linux__
    if (!Keep(block, bytes))
        munmap(block, bytes);
#else
    (void)bytes;
    std::free(block);
#endif
}
