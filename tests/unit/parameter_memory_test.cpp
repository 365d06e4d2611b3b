// Memory that decoding a request's parameters takes, counted at the allocator: a form body of
// millions of tiny entries, and one of a single huge entry, cost about the body's size again.
#include "http/ParameterDecoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> liveBytes{0};
std::atomic<std::size_t> peakBytes{0};

void* counted(std::size_t n)
{
    // The block's size sits in front of it, so delete knows what to subtract.
    auto* p = static_cast<std::size_t*>(std::malloc(n + sizeof(std::max_align_t)));
    if (!p)
        throw std::bad_alloc();
    *p = n;
    const std::size_t live = liveBytes += n;
    std::size_t peak = peakBytes;
    while (live > peak && !peakBytes.compare_exchange_weak(peak, live)) {
    }
    return reinterpret_cast<char*>(p) + sizeof(std::max_align_t);
}

void release(void* q)
{
    if (!q)
        return;
    auto* p = reinterpret_cast<std::size_t*>(static_cast<char*>(q) - sizeof(std::max_align_t));
    liveBytes -= *p;
    std::free(p);
}

} // namespace

void* operator new(std::size_t n) { return counted(n); }
void* operator new[](std::size_t n) { return counted(n); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

namespace {

// Peak bytes held at once while decoding body as a form, beyond what was held before.
std::size_t peakWhileDecoding(const std::string& body, std::size_t& entries)
{
    const std::size_t before = liveBytes;
    peakBytes = before;
    {
        auto params = kx::http::decodeParameters(
            kx::http::parameterText("application/x-www-form-urlencoded", body, ""), "");
        entries = params.size();
    }
    return peakBytes - before;
}

TEST(ParameterMemory, AboutTheBodySizeAgain)
{
    const std::size_t size = 8u << 20;
    std::string tiny;
    tiny.reserve(size);
    while (tiny.size() < size)
        tiny += "a=1&";
    const std::string huge = "payload=" + std::string(size, 'Q');
    const struct {
        const char* name;
        const std::string& body;
        std::size_t entries;
    } cases[] = {
        {"millions of tiny entries", tiny, size / 4 + 1},
        {"one huge entry", huge, 1},
    };
    for (const auto& c : cases) {
        std::size_t entries = 0;
        const std::size_t peak = peakWhileDecoding(c.body, entries);
        EXPECT_EQ(entries, c.entries) << c.name;
        EXPECT_LE(peak, c.body.size() * 11 / 10) << c.name << ": " << peak << " bytes for a body of "
                                                 << c.body.size();
    }
}

} // namespace
