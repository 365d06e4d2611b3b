#include "platform/DebianPackages.h"

#include "base/Text.h"
#include "platform/posix/Spawn.h"

#include <mutex>

namespace kx::platform {
namespace {

std::mutex g_keyMutex;
std::string g_keyPath;

std::string lineOf(const std::string& text)
{
    return std::string(base::trimmed(text, " \t\r\n"));
}

} // namespace

std::optional<PackageFields> packageFileFields(const std::string& file, std::string& error)
{
    PackageFields fields;
    std::string* targets[] = {&fields.name, &fields.architecture, &fields.version};
    const char* names[] = {"Package", "Architecture", "Version"};
    for (int i = 0; i < 3; ++i) {
        std::string out;
        if (posix::runProgram({"dpkg-deb", "--field", file, names[i]}, &out, &error) != 0) {
            if (error.empty())
                error = "dpkg-deb cannot read " + file;
            return std::nullopt;
        }
        *targets[i] = lineOf(out);
    }
    return fields;
}

std::string systemPackageArchitecture()
{
    std::string out;
    return posix::runProgram({"dpkg", "--print-architecture"}, &out) == 0 ? lineOf(out) : std::string();
}

std::optional<std::string> installedPackageVersion(const std::string& name)
{
    std::string out;
    if (posix::runProgram({"dpkg-query", "--show", "--showformat=${db:Status-Status} ${Version}", name}, &out) != 0)
        return std::nullopt;
    out = lineOf(out);
    if (out.rfind("installed ", 0) != 0)
        return std::nullopt;
    return out.substr(10);
}

bool packageVersionNewer(const std::string& a, const std::string& b)
{
    return posix::runProgram({"dpkg", "--compare-versions", a, "gt", b}, nullptr) == 0;
}

} // namespace kx::platform

namespace kx::platform {

std::string packagedUpdateKeyPath()
{
    std::lock_guard lock(g_keyMutex);
    return g_keyPath.empty() ? "/usr/share/kestrix-assistant/update.pub" : g_keyPath;
}

void setPackagedUpdateKeyPath(const std::string& path)
{
    std::lock_guard lock(g_keyMutex);
    g_keyPath = path;
}

} // namespace kx::platform
