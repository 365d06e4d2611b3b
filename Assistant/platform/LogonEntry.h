#pragma once
// The entry that starts the assistant when a user signs in, kept in step with the
// start-with-system flag (AutoRunStore.h) by the companion service.
//
// Linux: the XDG autostart entry /etc/xdg/autostart/kestrix-assistant.desktop, a copy of the one
// the package installs as /usr/share/kestrix-assistant/autostart.desktop. Without that file (a
// program run from its build folder) there is no entry to keep, and nothing is written.
// Windows: the companion itself starts the assistant at each sign-in while the flag is 1 (a Run
// key entry would not start a program that needs administrator rights), so nothing is written.
#include <string>

namespace kx::platform {

struct LogonEntryPaths {
    std::string source = "/usr/share/kestrix-assistant/autostart.desktop";
    std::string entry = "/etc/xdg/autostart/kestrix-assistant.desktop";
};
// Points the entry elsewhere (tests); default-constructed paths restore the defaults.
void setLogonEntryPaths(const LogonEntryPaths& paths);

enum class LogonEntryChange { None, Added, Removed, Failed };

// Makes the entry present exactly when `enabled`. What changed; Failed with the reason in error.
LogonEntryChange syncLogonEntry(bool enabled, std::string& error);

} // namespace kx::platform
