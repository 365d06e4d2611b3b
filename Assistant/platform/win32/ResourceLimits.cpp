#include "platform/ResourceLimits.h"

#include <stdio.h>

#include <initializer_list>

namespace kx::platform {

// Sockets and other handles have no limit per process here beyond memory; what is limited is the
// C runtime's table of open files (512 at start), which every file stream the service opens uses.
// It is raised as far as the runtime allows: 8192 with the universal runtime, 2048 with msvcrt.
std::uint64_t raiseDescriptorLimit()
{
    for (int wanted : {8192, 2048}) {
        if (_setmaxstdio(wanted) == wanted)
            break;
    }
    const int limit = _getmaxstdio();
    return limit > 0 ? static_cast<std::uint64_t>(limit) : 0;
}

} // namespace kx::platform
