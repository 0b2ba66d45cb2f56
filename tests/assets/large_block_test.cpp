// Large blocks kept for reuse: what is taken again, and when.
#include "assets/large_block.h"

#include <cstring>

#include <gtest/gtest.h>

namespace {

constexpr size_t MB = size_t(1) << 20;

// A freed block is taken again, cut to size, only while freed blocks are kept, and only
// by a request it can hold.
TEST(LargeBlock, FreedBlocksServeLaterTakesWhileKept)
{
    LargeKeepFreed(true);
    auto* first = static_cast<unsigned char*>(LargeTake(4 * MB));
    ASSERT_NE(first, nullptr);
    std::memset(first, 7, 4 * MB);
    LargeFree(first, 4 * MB);
    auto* again = static_cast<unsigned char*>(LargeTake(3 * MB));
    ASSERT_NE(again, nullptr);
    if (LargeBlocksComeZeroed()) {  // where blocks are mapped, the freed one comes back
        EXPECT_EQ(again, first);
        EXPECT_EQ(again[3 * MB - 1], 7);
    }
    LargeFree(again, 3 * MB);
    auto* larger = static_cast<unsigned char*>(LargeTake(5 * MB));  // more than is kept
    ASSERT_NE(larger, nullptr);
    std::memset(larger, 1, 5 * MB);
    LargeFree(larger, 5 * MB);
    LargeKeepFreed(false);  // lets the kept blocks go
    auto* fresh = static_cast<unsigned char*>(LargeTake(3 * MB));
    ASSERT_NE(fresh, nullptr);
    if (LargeBlocksComeZeroed()) {  // a new mapping
        EXPECT_EQ(fresh[3 * MB - 1], 0);
    }
    LargeFree(fresh, 3 * MB);
}

}  // namespace
