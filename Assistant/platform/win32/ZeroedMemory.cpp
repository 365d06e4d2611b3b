#include "platform/ZeroedMemory.h"

#include <windows.h>

namespace kx::platform {

namespace {

// Blocks up to this size are kept for reuse, one per thread.
constexpr std::size_t kReusableBytes = 4u << 20;

struct KeptBlock {
    void* block = nullptr;
    std::size_t bytes = 0;
    ~KeptBlock()
    {
        if (block)
            VirtualFree(block, 0, MEM_RELEASE);
    }
};

thread_local KeptBlock kept;

// Gives the block's pages back and commits them again: they read as zero and cost no memory until
// written, and the address range stays reserved for the next request.
bool wipe(void* block, std::size_t bytes)
{
    return VirtualFree(block, bytes, MEM_DECOMMIT) && VirtualAlloc(block, bytes, MEM_COMMIT, PAGE_READWRITE) == block;
}

} // namespace

// Committed pages that were never written are zero and take no memory until first touched.
void* acquireZeroed(std::size_t bytes)
{
    if (kept.block && kept.bytes == bytes) {
        void* block = kept.block;
        kept.block = nullptr;
        return block;
    }
    if (bytes == 0)
        return nullptr;
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
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
    VirtualFree(block, 0, MEM_RELEASE);
}

} // namespace kx::platform
