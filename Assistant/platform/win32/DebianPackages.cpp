#include "platform/DebianPackages.h"

// Windows has no Debian packages: an installer there is a program (InstallerCheck refuses a .deb
// before it asks anything here).
namespace kx::platform {

std::optional<PackageFields> packageFileFields(const std::string&, std::string& error)
{
    error = "Debian packages are not installed on this system";
    return std::nullopt;
}

std::string systemPackageArchitecture()
{
    return "";
}

std::optional<std::string> installedPackageVersion(const std::string&)
{
    return std::nullopt;
}

bool packageVersionNewer(const std::string&, const std::string&)
{
    return false;
}

std::string packagedUpdateKeyPath()
{
    return "";
}

void setPackagedUpdateKeyPath(const std::string&) {}

} // namespace kx::platform
