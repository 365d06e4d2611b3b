#include "platform/FolderWatch.h"

namespace kx::platform {

// Windows tells of a write to a file's data or time only once the system has written it out,
// which may be well after the write returned: no notice here, and callers compare files instead.
struct FolderWatch::State {};

FolderWatch::FolderWatch() : state_(std::make_unique<State>()) {}

FolderWatch::~FolderWatch() = default;

bool FolderWatch::available() const
{
    return false;
}

bool FolderWatch::noticesWaiting() const
{
    return false;
}

bool FolderWatch::watch(const std::string&)
{
    return false;
}

bool FolderWatch::changedSinceLastLook()
{
    return false;
}

} // namespace kx::platform
