#include "common/FileCache.h"

#include "common/Paths.h"
#include "platform/Files.h"

#include <fstream>
#include <mutex>
#include <sstream>
#include <unordered_map>

namespace kx {

namespace {

// Longer than any file system's timestamp resolution (FAT's two seconds included).
constexpr std::int64_t kSettleNs = 3'000'000'000;

struct Entry {
    platform::FileStamp stamp;
    std::shared_ptr<const std::string> bytes;
};

// Few files are ever read this way (a handful per program folder), so entries are never dropped.
std::mutex& cacheMutex()
{
    static std::mutex m;
    return m;
}

std::unordered_map<std::string, Entry>& cache()
{
    static std::unordered_map<std::string, Entry> entries;
    return entries;
}

} // namespace

std::shared_ptr<const std::string> cachedFileBytes(const std::string& path)
{
    const std::optional<platform::FileStamp> stamp = platform::regularFileStamp(path);
    if (!stamp)
        return nullptr;
    // A file changed within the last moments may change again within the same tick of the file
    // system's clock without its stamp moving: such a file is read from disk and not kept.
    const bool settled = platform::nowNs() - stamp->modifiedNs > kSettleNs;
    if (settled) {
        std::lock_guard<std::mutex> lock(cacheMutex());
        auto it = cache().find(path);
        if (it != cache().end() && it->second.stamp.size == stamp->size &&
            it->second.stamp.modifiedNs == stamp->modifiedNs)
            return it->second.bytes;
    }
    std::ifstream in(pathFromUtf8(path), std::ios::binary);
    if (!in)
        return nullptr;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad())
        return nullptr;
    auto bytes = std::make_shared<const std::string>(std::move(content).str());
    if (!settled)
        return bytes;
    // What was read is kept under the stamp taken before the read: a change during the read
    // leaves a newer stamp on the file, so the next read goes to the disk again.
    std::lock_guard<std::mutex> lock(cacheMutex());
    cache()[path] = Entry{*stamp, bytes};
    return bytes;
}

void forgetCachedFile(const std::string& path)
{
    std::lock_guard<std::mutex> lock(cacheMutex());
    cache().erase(path);
}

} // namespace kx
