#include "common/FolderTools.h"

#include "common/Paths.h"

#include <filesystem>
#include <vector>

namespace kx {
namespace fs = std::filesystem;

namespace {

void removeEntry(const fs::path& p)
{
    std::error_code ec;
    auto st = fs::symlink_status(p, ec);
    if (ec)
        return;
    if (fs::is_directory(st)) {
        fs::permissions(p, fs::perms::owner_all, fs::perm_options::add, ec);
        std::vector<fs::path> children;
        for (fs::directory_iterator it(p, ec), end; !ec && it != end; it.increment(ec))
            children.push_back(it->path());
        for (const auto& child : children)
            removeEntry(child);
    } else if (!fs::is_symlink(st)) {
        fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add, ec);
    }
    fs::remove(p, ec);
}

} // namespace

void removeFolderTree(const std::string& folder)
{
    removeEntry(pathFromUtf8(folder));
}

} // namespace kx
