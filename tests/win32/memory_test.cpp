// Memory facilities on Windows: zero-filled result buffers reused across calls and threads, calendar fields of a
// moment, and large heap blocks going back to the system when freed.
#include "platform/CalendarTime.h"
#include "platform/Memory.h"
#include "platform/ZeroedMemory.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <thread>
#include <vector>

using namespace kx;

namespace {

bool allZero(const void* block, std::size_t bytes)
{
    const auto* p = static_cast<const unsigned char*>(block);
    return std::all_of(p, p + bytes, [](unsigned char b) { return b == 0; });
}

} // namespace

TEST(ZeroedMemory, ABlockGivenBackComesBackZeroed)
{
    constexpr std::size_t kBytes = 2u << 20;
    void* block = platform::acquireZeroed(kBytes);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(allZero(block, kBytes));
    std::memset(block, 0x5A, kBytes); // every page dirtied
    platform::releaseZeroed(block, kBytes);

    void* again = platform::acquireZeroed(kBytes);
    EXPECT_EQ(again, block); // the kept block
    EXPECT_TRUE(allZero(again, kBytes));
    // Another thread gets a block of its own.
    void* other = nullptr;
    std::thread([&] {
        other = platform::acquireZeroed(kBytes);
        platform::releaseZeroed(other, kBytes);
    }).join();
    EXPECT_NE(other, again);
    // A block of another size is not the kept one, and sizes beyond the kept ones are given back.
    void* big = platform::acquireZeroed(32u << 20);
    ASSERT_NE(big, nullptr);
    EXPECT_TRUE(allZero(static_cast<char*>(big) + (31u << 20), 1u << 20));
    platform::releaseZeroed(big, 32u << 20);
    MEMORY_BASIC_INFORMATION info{};
    ASSERT_NE(VirtualQuery(big, &info, sizeof info), 0u);
    EXPECT_EQ(info.State, static_cast<DWORD>(MEM_FREE));
    platform::releaseZeroed(again, kBytes);
    EXPECT_EQ(platform::acquireZeroed(0), nullptr);
}

// Module calls run on threads that come and go: a block given back by one thread and handed to
// another is zero again, and threads that used the kept blocks end without bringing the process
// down.
TEST(ZeroedMemory, ThreadsThatComeAndGoGetZeroedBlocks)
{
    constexpr std::size_t kBytes = 2u << 20;
    std::atomic<int> failures{0};
    for (int round = 0; round < 60; ++round) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&failures, t] {
                for (int call = 0; call < 3; ++call) {
                    auto* block = static_cast<unsigned char*>(platform::acquireZeroed(kBytes));
                    if (!block || !allZero(block, kBytes)) {
                        ++failures;
                        return;
                    }
                    std::memset(block + (t + call) * 4096, 0xA5, 4096);
                    block[kBytes - 1] = 1;
                    platform::releaseZeroed(block, kBytes);
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
}

TEST(Memory, LargeHeapBlocksGoBackToTheSystemWhenFreed)
{
    platform::returnLargeBlocksToSystem();
    void* block = std::malloc(16u << 20);
    ASSERT_NE(block, nullptr);
    std::memset(block, 1, 16u << 20);
    volatile std::uintptr_t address = reinterpret_cast<std::uintptr_t>(block); // kept as a number only
    std::free(block);
    MEMORY_BASIC_INFORMATION info{};
    ASSERT_NE(VirtualQuery(reinterpret_cast<const void*>(address), &info, sizeof info), 0u);
    EXPECT_NE(info.State, static_cast<DWORD>(MEM_COMMIT));
}

TEST(CalendarTime, FieldsOfAMoment)
{
    const struct {
        std::time_t t;
        int year, month, day, hour, minute, second, weekday, yearDay;
    } cases[] = {
        {0, 70, 0, 1, 0, 0, 0, 4, 0},
        {1796819696, 126, 11, 9, 12, 34, 56, 3, 342},  // 2026-12-09 12:34:56, a Wednesday
        {951782400, 100, 1, 29, 0, 0, 0, 2, 59},       // 2000-02-29
        {-86400, 69, 11, 31, 0, 0, 0, 3, 364},         // before 1970: the system's own conversion
    };
    for (const auto& c : cases) {
        const std::tm tm = platform::utcCalendarTime(c.t);
        EXPECT_EQ(tm.tm_year, c.year) << c.t;
        EXPECT_EQ(tm.tm_mon, c.month) << c.t;
        EXPECT_EQ(tm.tm_mday, c.day) << c.t;
        EXPECT_EQ(tm.tm_hour, c.hour) << c.t;
        EXPECT_EQ(tm.tm_min, c.minute) << c.t;
        EXPECT_EQ(tm.tm_sec, c.second) << c.t;
        EXPECT_EQ(tm.tm_wday, c.weekday) << c.t;
        EXPECT_EQ(tm.tm_yday, c.yearDay) << c.t;
    }
    // Local time differs from UTC by the zone's bias only: the same minute within the hour for
    // whole-hour zones, and a date at most one day off.
    TIME_ZONE_INFORMATION zone{};
    GetTimeZoneInformation(&zone);
    for (const auto& c : cases) {
        const std::tm local = platform::localCalendarTime(c.t);
        EXPECT_GE(local.tm_year, 69) << c.t;
        if (zone.Bias % 60 == 0) {
            EXPECT_EQ(local.tm_min, c.minute) << c.t;
        }
        EXPECT_EQ(local.tm_sec, c.second) << c.t;
    }
}
