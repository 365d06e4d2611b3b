#pragma once
// What Debian's package tools say about a package file and the installed packages, so that an
// update package is checked before it is installed. On systems without them (Windows) every
// question has no answer.
#include <optional>
#include <string>

namespace kx::platform {

struct PackageFields {
    std::string name;         // Package
    std::string architecture; // Architecture
    std::string version;      // Version
};

// The fields of a .deb file (dpkg-deb --field); nothing with the reason in error.
std::optional<PackageFields> packageFileFields(const std::string& file, std::string& error);
// This system's package architecture (dpkg --print-architecture); "" when unknown.
std::string systemPackageArchitecture();
// The installed version of a package; nothing when it is not installed.
std::optional<std::string> installedPackageVersion(const std::string& name);
// True when version a is newer than b by Debian's rules (dpkg --compare-versions a gt b).
bool packageVersionNewer(const std::string& a, const std::string& b);

// The update key the installed package carries, in a folder only root writes
// (/usr/share/kestrix-assistant/update.pub; "" on Windows, where no package carries one). The
// companion falls back on it when conf/update.pub is missing, so that removing that file from the
// group-writable conf/ cannot turn the signature check off.
std::string packagedUpdateKeyPath();
// Points it elsewhere (tests); "" restores the default.
void setPackagedUpdateKeyPath(const std::string& path);

} // namespace kx::platform
