// Result buffers handed out again on the same thread must read as all zero, whatever the previous
// user wrote: otherwise one request's result could show through in another's.
#include "platform/ZeroedMemory.h"

#include <gtest/gtest.h>

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
        std::size_t dirtyPages; // every 4096th byte written in this many pages
        std::size_t stride;
    } cases[] = {
        {"one page", 1, 4096},
        {"scattered pages", 12, 4096 * 37},
        {"many pages", 200, 4096},
        {"whole block", kBytes / 4096, 4096},
    };
    for (const auto& c : cases) {
        auto* block = static_cast<char*>(acquireZeroed(kBytes));
        ASSERT_NE(block, nullptr);
        ASSERT_TRUE(allZero(block, kBytes)) << c.what;
        for (std::size_t i = 0; i < c.dirtyPages; ++i)
            std::memset(block + (i * c.stride) % kBytes, 'x', 100);
        releaseZeroed(block, kBytes);
        auto* again = static_cast<char*>(acquireZeroed(kBytes));
        ASSERT_NE(again, nullptr);
        EXPECT_TRUE(allZero(again, kBytes)) << c.what;
        releaseZeroed(again, kBytes);
    }
    auto* large = static_cast<char*>(acquireZeroed(std::size_t{64} << 20));
    ASSERT_NE(large, nullptr);
    EXPECT_TRUE(allZero(large + (std::size_t{63} << 20), 1 << 20));
    releaseZeroed(large, std::size_t{64} << 20);
}
