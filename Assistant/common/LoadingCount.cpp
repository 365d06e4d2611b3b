#include "common/LoadingCount.h"

namespace kx {

bool openLoadingRequest(std::int32_t& count)
{
    // A count left negative by an earlier surplus hide was reset there, so 0 means none open.
    const bool first = count <= 0;
    if (first)
        count = 0;
    ++count;
    return first;
}

bool closeLoadingRequest(std::int32_t& count)
{
    --count;
    if (count > 0)
        return false;
    count = 0;
    return true;
}

} // namespace kx
