// Large blocks kept for reuse: what is taken again, and when.
#include "assets/large_block.h"

#include <cstring>

#include <gtest/gtest.h>

namespace {

constexpr size_t MB = size_t(1) << 20;

unsigned char* Filled(size_t bytes, int value)
{
    auto* block = static_cast<unsigned char*>(LargeTake(bytes));
    if (block)
        std::memset(block, value, bytes);
    return block;
}

// Freed blocks are taken again only while they are kept: the smallest that holds a
// request of a megabyte or more, cut to its size, each once. Where blocks are mapped, a
// new one reads 0. Asking for a block's pages ahead leaves what they hold.
TEST(LargeBlock, FreedBlocksServeLaterTakesWhileKept)
{
    const bool mapped = LargeBlocksComeZeroed();
    unsigned char* gone = Filled(4 * MB, 7);  // freed before keeping starts
    ASSERT_NE(gone, nullptr);
    LargeFree(gone, 4 * MB);
    auto* fresh = static_cast<unsigned char*>(LargeTake(4 * MB));
    ASSERT_NE(fresh, nullptr);
    if (mapped) {
        EXPECT_EQ(fresh[0], 0);
    }
    LargeFree(fresh, 4 * MB);

    LargeKeepFreed(true);
    unsigned char* large = Filled(4 * MB, 2);
    unsigned char* small = Filled(2 * MB, 1);
    ASSERT_TRUE(large && small);
    LargeFree(large, 4 * MB);
    LargeFree(small, 2 * MB);
    auto* tiny = static_cast<unsigned char*>(LargeTake(4096));  // takes no kept block
    auto* fit = static_cast<unsigned char*>(LargeTake(3 * MB, 3));  // its pages asked for at once
    bool exact_zeroed = true, more_zeroed = !mapped;
    auto* exact = static_cast<unsigned char*>(LargeTake(2 * MB, 0, &exact_zeroed));
    auto* more = static_cast<unsigned char*>(LargeTake(2 * MB, 2, &more_zeroed));  // none is left
    ASSERT_TRUE(tiny && fit && exact && more);
    EXPECT_FALSE(exact_zeroed);  // a kept block, or one from the heap, holds what it held
    EXPECT_EQ(more_zeroed, mapped);
    if (mapped) {
        EXPECT_EQ(fit, large);
        EXPECT_EQ(fit[3 * MB - 1], 2);
        EXPECT_EQ(exact, small);
        EXPECT_EQ(more[0], 0);
    }
    LargeFree(tiny, 4096);
    std::memset(fit, 3, 3 * MB);  // each is whole and its own
    std::memset(exact, 4, 2 * MB);
    std::memset(more, 5, 2 * MB);
    EXPECT_EQ(fit[0] + exact[0] + more[2 * MB - 1], 12);
    LargeFree(more, 2 * MB);
    LargeFree(exact, 2 * MB);
    LargeFree(fit, 3 * MB);
    LargeKeepFreed(false);  // lets the kept blocks go
    auto* after = static_cast<unsigned char*>(LargeTake(3 * MB));
    ASSERT_NE(after, nullptr);
    if (mapped) {
        EXPECT_EQ(after[3 * MB - 1], 0);
    }
    LargeFree(after, 3 * MB);

    // A kept block more than twice the size asked for is left for a later request.
    LargeKeepFreed(true);
    LargeFree(Filled(3 * MB, 6), 3 * MB);
    bool small_zeroed = !mapped, large_zeroed = true;
    auto* small_take = static_cast<unsigned char*>(LargeTake(MB, 0, &small_zeroed));
    auto* large_take = static_cast<unsigned char*>(LargeTake(3 * MB / 2, 0, &large_zeroed));  // half of it
    ASSERT_TRUE(small_take && large_take);
    EXPECT_EQ(small_zeroed, mapped);
    EXPECT_FALSE(large_zeroed);
    LargeFree(small_take, MB);
    LargeFree(large_take, 3 * MB / 2);
    LargeKeepFreed(false);
}

}  // namespace
