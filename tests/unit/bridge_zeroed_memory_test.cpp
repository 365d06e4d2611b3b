// Result buffers handed out again on the same thread must read as all zero, whatever the previous
// user wrote: otherwise one request's result could show through in another's.
#include "platform/ZeroedMemory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace kx::platform;

namespace {

constexpr std::size_t kBytes = std::size_t{2} << 20;

bool allZero(const char* p, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        if (p[i])
            return false;
    return true;
}

} // namespace

TEST(ZeroedMemory, ReusedBlocksComeBackClean)
{
    const struct {
        const char* what;
        std::size_t dirtyPages; // 100 bytes written at the start of this many places
        std::size_t stride;
        bool small;             // a result of a few pages at the start: wiped and kept
    } cases[] = {
        {"one page", 1, 4096, true},
        {"the first sixteen pages", 16, 4096, true},
        {"a page past them", 1, 4096 * 17, false},
        {"scattered pages", 12, 4096 * 37, false},
        {"many pages", 200, 4096, false},
        {"whole block", 1 << 20, 4096, false},
    };
    // The result buffer's size, sizes around where blocks stop being kept, and small ones.
    for (const std::size_t bytes : {kBytes, std::size_t{3} << 20, std::size_t{4} << 20, (std::size_t{4} << 20) + 4096,
                                    std::size_t{64} << 10, std::size_t{5000}}) {
        for (const auto& c : cases) {
            auto* block = static_cast<char*>(acquireZeroed(bytes));
            ASSERT_NE(block, nullptr);
            for (std::size_t i = 0; i < c.dirtyPages && i * c.stride < bytes; ++i)
                std::memset(block + i * c.stride, 'x', std::min<std::size_t>(100, bytes - i * c.stride));
            if (!c.small)
                block[bytes - 1] = 'y';
            releaseZeroed(block, bytes);
            auto* again = static_cast<char*>(acquireZeroed(bytes));
            ASSERT_NE(again, nullptr);
            if (c.small && bytes <= (std::size_t{4} << 20)) {
                EXPECT_EQ(again, block) << c.what << " " << bytes;
            }
            // (Reading it all maps every page, so the block is unmapped when it is given back.)
            EXPECT_TRUE(allZero(again, bytes)) << c.what << " " << bytes;
            again[bytes - 1] = 'z'; // usable to its last byte
            releaseZeroed(again, bytes);
        }
    }
    auto* large = static_cast<char*>(acquireZeroed(std::size_t{64} << 20));
    ASSERT_NE(large, nullptr);
    EXPECT_TRUE(allZero(large + (std::size_t{63} << 20), 1 << 20));
    releaseZeroed(large, std::size_t{64} << 20);
}
