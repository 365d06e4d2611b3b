#include "platform/LogonEntry.h"

// The companion service is the logon entry on Windows (LogonEntry.h): nothing to keep.
namespace kx::platform {

void setLogonEntryPaths(const LogonEntryPaths&) {}

LogonEntryChange syncLogonEntry(bool, std::string&)
{
    return LogonEntryChange::None;
}

} // namespace kx::platform
