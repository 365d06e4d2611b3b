#include "platform/ZeroedMemory.h"

#include <cstring>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace kx::platform {

namespace {

// Blocks up to this size are kept for reuse, one per thread.
constexpr std::size_t kReusableBytes = 4u << 20;
// A block whose caller dirtied more pages than this is unmapped rather than wiped.
constexpr std::size_t kMaxWipedPages = 16;

struct KeptBlock {
    void* block = nullptr;
    std::size_t bytes = 0;
    ~KeptBlock()
    {
        if (block)
            munmap(block, bytes);
    }
};

thread_local KeptBlock kept;

std::size_t pageSize()
{
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

// Zeroes every page of the block that is in memory (the others read as zero anyway). False when
// too many pages were touched to be worth it.
bool wipe(void* block, std::size_t bytes)
{
    const std::size_t page = pageSize();
    const std::size_t pages = (bytes + page - 1) / page;
    thread_local std::vector<unsigned char> resident; // kept: no allocation on every call
    resident.assign(pages, 0);
    if (mincore(block, bytes, resident.data()) != 0)
        return false;
    std::size_t count = 0;
    for (unsigned char r : resident)
        count += r & 1;
    if (count > kMaxWipedPages)
        return false;
    for (std::size_t i = 0; i < pages; ++i)
        if (resident[i] & 1)
            std::memset(static_cast<char*>(block) + i * page, 0, page);
    return true;
}

} // namespace

void* acquireZeroed(std::size_t bytes)
{
    if (kept.block && kept.bytes == bytes) {
        void* block = kept.block;
        kept.block = nullptr;
        return block;
    }
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? nullptr : block;
}

void releaseZeroed(void* block, std::size_t bytes)
{
    if (!block)
        return;
    if (bytes <= kReusableBytes && !kept.block && wipe(block, bytes)) {
        kept.block = block;
        kept.bytes = bytes;
        return;
    }
    munmap(block, bytes);
}

} // namespace kx::platform
