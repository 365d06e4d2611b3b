#include "common/FileCache.h"

#include "common/Paths.h"
#include "platform/FolderWatch.h"
#include "platform/Files.h"

#include <cstdint>
#include <fstream>
#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <sstream>
#include <unordered_map>

namespace kx {

namespace {

// Longer than any file system's timestamp resolution (FAT's two seconds included).
constexpr std::int64_t kSettleNs = 3'000'000'000;
// How long a file kept under a folder watch is served before it is compared with the disk again.
constexpr std::int64_t kRecompareNs = 1'000'000'000;

struct Entry {
    platform::FileStamp stamp;
    std::shared_ptr<const std::string> bytes;
    bool heard = false;          // kept while its folder was listened to
    std::int64_t comparedNs = 0; // when its stamp was last compared with the disk
};

// Few files are ever read this way (a handful per program folder), so entries are dropped only
// when something changes.
struct Cache {
    std::shared_mutex mutex; // the entries, the watch's folders and the generation
    std::unordered_map<std::string, Entry> entries;
    platform::FolderWatch watch;
    // Counts the times everything kept was dropped: a read that began before a drop keeps nothing,
    // as what it read may be what the drop was about.
    std::uint64_t generation = 0;
    // Set while notices are taken and what they say is applied: a look that finds no notice
    // waiting may find none because a look in progress has just taken it.
    std::atomic<bool> draining{false};
};

Cache& cache()
{
    static Cache c;
    return c;
}

thread_local int scopeDepth = 0;
thread_local bool lookedInScope = false;

// Drops everything kept when a watched folder changed. Only a look that finds notices waiting (or
// one being taken) takes the lock, so looks on many threads at once do not queue up.
void lookForChanges(Cache& c)
{
    if (scopeDepth > 0 && lookedInScope)
        return;
    lookedInScope = scopeDepth > 0;
    if (!c.watch.noticesWaiting() && !c.draining.load())
        return;
    std::unique_lock lock(c.mutex);
    c.draining.store(true);
    if (c.watch.changedSinceLastLook()) {
        c.entries.clear();
        ++c.generation;
    }
    c.draining.store(false);
}

bool sameStamp(const platform::FileStamp& a, const platform::FileStamp& b)
{
    return a.size == b.size && a.modifiedNs == b.modifiedNs;
}

std::shared_ptr<const std::string> readFile(const std::string& path)
{
    std::ifstream in(pathFromUtf8(path), std::ios::binary);
    if (!in)
        return nullptr;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad())
        return nullptr;
    return std::make_shared<const std::string>(std::move(content).str());
}

} // namespace

std::shared_ptr<const std::string> cachedFileBytes(const std::string& path)
{
    Cache& c = cache();
    const bool watching = c.watch.available();
    const std::int64_t now = platform::nowNs();
    if (watching) {
        lookForChanges(c);
        std::shared_lock lock(c.mutex);
        auto it = c.entries.find(path);
        if (it != c.entries.end() && it->second.heard && now - it->second.comparedNs < kRecompareNs)
            return it->second.bytes;
    }
    // Without a watch nothing is ever dropped, so the generation stays 0.
    std::uint64_t generation = 0;
    bool heard = false;
    if (watching) {
        std::unique_lock lock(c.mutex);
        // Listened to before the file is looked at: a change from here on is heard.
        heard = c.watch.watch(utf8FromPath(pathFromUtf8(path).parent_path()));
        generation = c.generation;
    }
    const std::optional<platform::FileStamp> stamp = platform::regularFileStamp(path);
    if (!stamp)
        return nullptr;
    // Without a watch, a file changed within the last moments may change again within the same
    // tick of the file system's clock without its stamp moving: such a file is read from disk and
    // not kept.
    const bool keep = heard || now - stamp->modifiedNs > kSettleNs;
    if (keep) {
        std::unique_lock lock(c.mutex);
        auto it = c.entries.find(path);
        if (it != c.entries.end() && it->second.heard == heard && sameStamp(it->second.stamp, *stamp)) {
            it->second.comparedNs = now;
            return it->second.bytes;
        }
    }
    auto bytes = readFile(path);
    if (!bytes || !keep)
        return bytes;
    // What was read is kept under the stamp taken before the read: a change during the read
    // leaves a newer stamp on the file (and, under a watch, a notice), so it is read again.
    std::unique_lock lock(c.mutex);
    if (c.generation == generation)
        c.entries[path] = Entry{*stamp, bytes, heard, now};
    return bytes;
}

void forgetCachedFile(const std::string& path)
{
    std::unique_lock lock(cache().mutex);
    cache().entries.erase(path);
}

FileLookScope::FileLookScope()
{
    if (scopeDepth++ == 0)
        lookedInScope = false;
}

FileLookScope::~FileLookScope()
{
    --scopeDepth;
}

} // namespace kx
