#include "platform/Memory.h"

#include <windows.h>

namespace kx::platform {

// The Windows heap already serves every block above its virtual-allocation threshold (about half
// a megabyte) with a region of its own straight from the system and gives the region back when the
// block is freed, so large blocks return to the system without any setting. The low-fragmentation
// front end (the default since Windows Vista) is asked for explicitly for the small ones.
void returnLargeBlocksToSystem()
{
    ULONG lowFragmentation = 2;
    HeapSetInformation(GetProcessHeap(), HeapCompatibilityInformation, &lowFragmentation, sizeof lowFragmentation);
}

} // namespace kx::platform
