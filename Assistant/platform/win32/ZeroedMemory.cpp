#include "platform/ZeroedMemory.h"

#include <windows.h>

#include <array>

namespace kx::platform {

namespace {

// Blocks up to this size are kept for reuse.
constexpr std::size_t kReusableBytes = 4u << 20;

// The kept blocks are the process's, not a thread's: nothing here needs cleaning up when a thread
// ends (a thread-local object with a destructor brings the program down at thread exit with this
// toolchain's thread library). A few blocks cover the threads that call modules at the same time;
// a block given back when all places are taken is freed.
struct KeptBlock {
    void* block;
    std::size_t bytes;
};
constexpr std::size_t kKeptBlocks = 8;

SRWLOCK keptLock = SRWLOCK_INIT;
std::array<KeptBlock, kKeptBlocks> kept{};
std::size_t keptCount = 0;

// Gives the block's pages back and commits them again: they read as zero and cost no memory until
// written, and the address range stays reserved for the next request.
bool wipe(void* block, std::size_t bytes)
{
    return VirtualFree(block, bytes, MEM_DECOMMIT) && VirtualAlloc(block, bytes, MEM_COMMIT, PAGE_READWRITE) == block;
}

void* takeKept(std::size_t bytes)
{
    void* block = nullptr;
    AcquireSRWLockExclusive(&keptLock);
    for (std::size_t i = keptCount; i-- > 0;) {
        if (kept[i].bytes == bytes) {
            block = kept[i].block;
            kept[i] = kept[--keptCount];
            break;
        }
    }
    ReleaseSRWLockExclusive(&keptLock);
    return block;
}

bool keep(void* block, std::size_t bytes)
{
    AcquireSRWLockExclusive(&keptLock);
    const bool room = keptCount < kKeptBlocks;
    if (room)
        kept[keptCount++] = {block, bytes};
    ReleaseSRWLockExclusive(&keptLock);
    return room;
}

} // namespace

// Committed pages that were never written are zero and take no memory until first touched.
void* acquireZeroed(std::size_t bytes)
{
    if (bytes == 0)
        return nullptr;
    if (void* block = bytes <= kReusableBytes ? takeKept(bytes) : nullptr)
        return block;
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void releaseZeroed(void* block, std::size_t bytes)
{
    if (!block)
        return;
    if (bytes <= kReusableBytes && wipe(block, bytes) && keep(block, bytes))
        return;
    VirtualFree(block, 0, MEM_RELEASE);
}

} // namespace kx::platform
