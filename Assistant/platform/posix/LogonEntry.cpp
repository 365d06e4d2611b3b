#include "platform/LogonEntry.h"

#include "platform/Files.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>

namespace kx::platform {
namespace {

std::mutex g_mutex;
LogonEntryPaths g_paths;

std::optional<std::string> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

void setLogonEntryPaths(const LogonEntryPaths& paths)
{
    std::lock_guard lock(g_mutex);
    g_paths = paths;
}

LogonEntryChange syncLogonEntry(bool enabled, std::string& error)
{
    LogonEntryPaths paths;
    {
        std::lock_guard lock(g_mutex);
        paths = g_paths;
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    const bool present = fs::exists(fs::symlink_status(paths.entry, ec));
    if (!enabled) {
        if (!present)
            return LogonEntryChange::None;
        if (!fs::remove(paths.entry, ec)) {
            error = paths.entry + ": " + ec.message();
            return LogonEntryChange::Failed;
        }
        return LogonEntryChange::Removed;
    }
    const std::optional<std::string> source = readFile(paths.source);
    if (!source)
        return LogonEntryChange::None; // not installed as a package: no entry to keep
    if (present && readFile(paths.entry) == source)
        return LogonEntryChange::None;
    fs::create_directories(fs::path(paths.entry).parent_path(), ec);
    if (!replaceFileAtomically(paths.entry, *source)) {
        error = paths.entry + " cannot be written";
        return LogonEntryChange::Failed;
    }
    return LogonEntryChange::Added;
}

} // namespace kx::platform
