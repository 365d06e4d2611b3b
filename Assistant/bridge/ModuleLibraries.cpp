#include "bridge/ModuleLibraries.h"

#include "common/ModuleHandleList.h"

#include <chrono>
#include <mutex>

namespace kx {

namespace {

constexpr std::chrono::milliseconds kRegistrationWait{10000};
constexpr std::chrono::milliseconds kRemovalWait{3000};

struct Table {
    std::shared_mutex mutex;
    std::unordered_map<std::string, std::shared_ptr<ModuleLibrary>> byPath;
};

Table& table()
{
    static Table t;
    return t;
}

platform::LibraryHandle findOrLoad(const std::string& path)
{
    if (platform::LibraryHandle h = platform::findLoadedLibrary(path))
        return h;
    return platform::loadLibrary(path);
}

// Enters the library in the handle list; true when the list holds it (added now or listed before).
// A newly added library gets a loader reference of the list's own, given back when it leaves the
// list. A registration whose wait times out is skipped.
bool registerLibrary(platform::LibraryHandle handle, const std::string& path)
{
    auto& list = ModuleHandleList::instance();
    switch (list.registerHandle(handle, kRegistrationWait)) {
    case ModuleHandleList::Registration::Added:
        if (platform::findLoadedLibrary(path))
            return true;
        // Cannot happen while the caller holds its own reference; keep the list honest anyway.
        list.remove(handle, kRemovalWait);
        return false;
    case ModuleHandleList::Registration::Listed:
        return true;
    case ModuleHandleList::Registration::Skipped:
        break;
    }
    return false;
}

} // namespace

ModuleLibrary::~ModuleLibrary()
{
    platform::releaseLibrary(handle_);
}

void* ModuleLibrary::exportNamed(const std::string& name)
{
    {
        std::shared_lock lock(mutex_);
        auto it = exports_.find(name);
        if (it != exports_.end())
            return it->second;
    }
    void* entry = platform::libraryExport(handle_, name);
    // Only names the library exports are kept, so the map never outgrows its export table.
    if (entry) {
        std::unique_lock lock(mutex_);
        exports_.emplace(name, entry);
    }
    return entry;
}

std::shared_ptr<ModuleLibrary> acquireModuleLibrary(const std::string& path)
{
    Table& t = table();
    {
        std::shared_lock lock(t.mutex);
        auto it = t.byPath.find(path);
        if (it != t.byPath.end())
            return it->second;
    }
    platform::LibraryHandle handle = findOrLoad(path);
    if (!handle)
        return nullptr;
    auto library = std::make_shared<ModuleLibrary>(handle);
    // The table keeps only libraries the handle list holds: one whose registration was skipped
    // is released when its call ends, as it would be without the table.
    if (!registerLibrary(handle, path))
        return library;
    std::unique_lock lock(t.mutex);
    // Two first calls may load at once: both hold the same library, and the first entry stays.
    auto [it, added] = t.byPath.emplace(path, library);
    return added ? library : it->second;
}

void dropModuleLibrary(const std::shared_ptr<ModuleLibrary>& library)
{
    {
        // Every path that leads to the library goes (two modules may name one library differently).
        std::unique_lock lock(table().mutex);
        std::erase_if(table().byPath,
                      [&](const auto& entry) { return entry.second->handle() == library->handle(); });
    }
    if (ModuleHandleList::instance().remove(library->handle(), kRemovalWait))
        platform::releaseLibrary(library->handle());
}

void forgetModuleLibraries()
{
    std::unordered_map<std::string, std::shared_ptr<ModuleLibrary>> entries;
    {
        std::unique_lock lock(table().mutex);
        entries.swap(table().byPath);
    }
    // Released here, outside the lock: a library's unload code may run.
}

} // namespace kx
