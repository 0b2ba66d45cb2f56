// Large blocks: mapped directly on Linux, the C heap elsewhere.
#include "assets/large_block.h"
#include "support/parallel.h"

#include <cmath>
#include <cstdlib>

#ifdef __linux__
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>

#include <sys/mman.h>

namespace {

constexpr size_t HUGE_PAGE = size_t(2) << 20;
// Smaller blocks stay in ordinary pages: they would not repay the measurement below.
constexpr size_t HUGE_LEAST = size_t(8) << 20;
constexpr size_t PAGE = 4096;
// madvise's MADV_POPULATE_WRITE (Linux 5.14), which older headers lack; older kernels
// refuse it, and the pages then come as they are written.
constexpr int POPULATE_WRITE = 23;

// Seconds to map `bytes` (a multiple of HUGE_PAGE) and write a byte in every page, in
// huge pages where asked; infinite where nothing can be mapped.
double FillSeconds(size_t bytes, bool huge)
{
    const auto start = std::chrono::steady_clock::now();
    const size_t span = bytes + (huge ? HUGE_PAGE : 0);  // room to start on a huge page's edge
    void* mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return INFINITY;
    auto* at = static_cast<volatile char*>(mapped);
    if (huge) {
        const uintptr_t edge = (reinterpret_cast<uintptr_t>(mapped) + HUGE_PAGE - 1) & ~uintptr_t(HUGE_PAGE - 1);
        at = reinterpret_cast<volatile char*>(edge);
        madvise(const_cast<char*>(at), bytes, MADV_HUGEPAGE);
    }
    for (size_t i = 0; i < bytes; i += PAGE)
        at[i] = 1;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    munmap(mapped, span);
    return seconds;
}

// Whether large blocks should come in huge pages: measured once, on first need, since
// it differs from machine to machine by far more than either way's gain. Where each
// fault is a trap to a hypervisor, a huge page filled about fifty times faster than its
// ordinary pages, and the largest bakes ran a quarter to a third faster; on another
// machine the same bakes ran up to 40 % slower in huge pages. They are used where a
// huge page fills in less than half the time of ordinary pages of its size (the faster
// of two tries each).
bool HugePagesPay()
{
    static const bool pay = [] {
        constexpr size_t ORDINARY = HUGE_PAGE / 4;  // a quarter suffices, and costs a quarter
        double ordinary = INFINITY, huge = INFINITY;
        for (int round = 0; round < 2; ++round) {
            ordinary = std::min(ordinary, FillSeconds(ORDINARY, false) * (HUGE_PAGE / ORDINARY));
            huge = std::min(huge, FillSeconds(HUGE_PAGE, true));
        }
        return huge < ordinary / 2;
    }();
    return pay;
}

// Large blocks in huge pages where they pay: the advice holds for the whole mapping,
// through later growth.
void AdviseHuge(void* block, size_t bytes)
{
    if (bytes >= HUGE_LEAST && HugePagesPay())
        madvise(block, bytes, MADV_HUGEPAGE);
}

}  // namespace
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
    AdviseHuge(grown, new_bytes);
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

constexpr int KEPT_BLOCKS = 64;
constexpr size_t KEPT_MOST = size_t(256) << 20;
constexpr size_t KEPT_LEAST = size_t(1) << 20;

// Freed blocks waiting to be taken again; the lock serves callers on any thread.
struct KeptBlocks {
    std::mutex lock;
    bool keeping = false;
    Kept blocks[KEPT_BLOCKS] = {};
    size_t bytes = 0;
} kept;

// The smallest kept block of `bytes` or more, cut to that size; null for none. A block
// more than twice as large is left for a later request: cut, its filled pages past the
// request would go back to the system.
void* TakeKept(size_t bytes)
{
    std::lock_guard<std::mutex> hold(kept.lock);
    Kept* best = nullptr;
    for (Kept& k : kept.blocks)
        if (k.block && k.bytes >= bytes && k.bytes / 2 <= bytes && (!best || k.bytes < best->bytes))
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

// Asks for every page of the block at once, each huge page's stretch by one worker.
void Populate(void* block, size_t bytes, int threads)
{
    if (!block || bytes == 0)
        return;
    const uintptr_t begin = reinterpret_cast<uintptr_t>(block), end = begin + bytes;
    const uintptr_t first = begin & ~uintptr_t(HUGE_PAGE - 1);
    const size_t pages = (end - first + HUGE_PAGE - 1) / HUGE_PAGE;
    ParallelForChunks(threads, pages, 4, [&](size_t a, size_t b, size_t) {
        const uintptr_t from = std::max(begin, first + a * HUGE_PAGE), to = std::min(end, first + b * HUGE_PAGE);
        madvise(reinterpret_cast<void*>(from), to - from, POPULATE_WRITE);
    });
}

}  // namespace
#endif

void* LargeTake(size_t bytes, int threads, bool* zeroed)
{
#ifdef __linux__
    // Small arrays are left to fresh pages: they would cut a kept block down to nothing.
    void* block = bytes >= KEPT_LEAST ? TakeKept(bytes) : nullptr;
    const bool fresh = !block;
    if (fresh)
        block = LargeResize(nullptr, 0, bytes);
    if (threads > 0)
        Populate(block, bytes, threads);
    if (zeroed)
        *zeroed = fresh;
    return block;
#else
    (void)threads;
    if (zeroed)
        *zeroed = false;
    return LargeResize(nullptr, 0, bytes);
#endif
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
