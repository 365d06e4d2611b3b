#include "platform/ZeroedMemory.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace kx::platform {

namespace {

// Blocks up to this size are kept for reuse, one per thread.
constexpr std::size_t kReusableBytes = 4u << 20;
// A kept block is wiped after asking the system which of its pages are in memory, and only when
// all of them lie in its first kWipedBytes (a result of a few pages); otherwise it is unmapped.
constexpr std::size_t kWipedBytes = 64u << 10;
// The span of memory one page table maps on the usual processors. A block is placed so that its
// first kWipedBytes end where such a span ends: a result that stays in them leaves the rest of the
// block without a page table, and the question about it is answered at once instead of page by
// page. (Elsewhere this only costs a little address space.)
constexpr std::size_t kTableSpan = 2u << 20;

struct KeptBlock {
    void* block = nullptr;
    std::size_t bytes = 0;
    ~KeptBlock();
};

thread_local KeptBlock kept;

std::size_t pageSize()
{
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

bool placed(std::size_t bytes)
{
    return bytes > kWipedBytes && bytes <= kReusableBytes;
}

// How much is mapped for a block: a placed block reaches to the end of its last table span, so no
// other mapping shares the spans after its first kWipedBytes.
std::size_t mappedBytes(std::size_t bytes)
{
    if (!placed(bytes))
        return bytes;
    const std::size_t rest = bytes - kWipedBytes;
    return kWipedBytes + (rest + kTableSpan - 1) / kTableSpan * kTableSpan;
}

void* mapBlock(std::size_t bytes)
{
    if (!placed(bytes)) {
        void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return block == MAP_FAILED ? nullptr : block;
    }
    const std::size_t length = mappedBytes(bytes);
    const std::size_t reserved = length + kTableSpan;
    void* area = mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED)
        return nullptr;
    const auto first = reinterpret_cast<std::uintptr_t>(area);
    const std::uintptr_t start = (first + kWipedBytes + kTableSpan - 1) / kTableSpan * kTableSpan - kWipedBytes;
    if (start > first)
        munmap(area, start - first);
    const std::uintptr_t end = start + length;
    if (end < first + reserved)
        munmap(reinterpret_cast<void*>(end), first + reserved - end);
    return reinterpret_cast<void*>(start);
}

void unmapBlock(void* block, std::size_t bytes)
{
    munmap(block, mappedBytes(bytes));
}

KeptBlock::~KeptBlock()
{
    if (block)
        unmapBlock(block, bytes);
}

// Zeroes every page of the block that is in memory (the others read as zero anyway). False when
// a page beyond the first kWipedBytes is in memory.
bool wipe(void* block, std::size_t bytes)
{
    const std::size_t page = pageSize();
    const std::size_t pages = (bytes + page - 1) / page;
    thread_local std::vector<unsigned char> resident; // kept: no allocation on every call
    resident.assign(pages, 0);
    if (mincore(block, bytes, resident.data()) != 0)
        return false;
    const std::size_t wiped = std::min(pages, kWipedBytes / page);
    for (std::size_t i = wiped; i < pages; ++i)
        if (resident[i] & 1)
            return false;
    for (std::size_t i = 0; i < wiped; ++i)
        if (resident[i] & 1)
            std::memset(static_cast<char*>(block) + i * page, 0, std::min(page, bytes - i * page));
    return true;
}

} // namespace

void* acquireZeroed(std::size_t bytes)
{
    if (bytes == 0)
        return nullptr;
    if (kept.block && kept.bytes == bytes) {
        void* block = kept.block;
        kept.block = nullptr;
        return block;
    }
    return mapBlock(bytes);
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
    unmapBlock(block, bytes);
}

} // namespace kx::platform
