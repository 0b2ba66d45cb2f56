// Large blocks: mapped directly on Linux, the C heap elsewhere.
#include "assets/large_block.h"

#include <cstdlib>

#ifdef __linux__
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

void LargeFree(void* block, size_t bytes)
{
    if (!block)
        return;
#ifdef __linux__
    munmap(block, bytes);
#else
    (void)bytes;
    std::free(block);
#endif
}
