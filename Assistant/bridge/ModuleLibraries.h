#pragma once
// Module libraries kept at hand between calls. A call finds its library by path in a table of its
// own instead of asking the loader (whose lookup compares the path with every loaded object's name
// under the loader's process-wide lock), and finds the functions it has called before without
// another symbol lookup.
//
// Lifetime: a ModuleLibrary owns one loader reference on its library, released when the last
// holder lets go. The table holds one while the library is listed in the module handle list; every
// call holds one for its length, so a library dropped after a failure stays mapped until every
// call still inside it has returned. Any thread.
#include "platform/DynamicLibrary.h"

#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>

namespace kx {

class ModuleLibrary {
public:
    // Takes over one loader reference on handle.
    explicit ModuleLibrary(platform::LibraryHandle handle) : handle_(handle) {}
    ~ModuleLibrary();
    ModuleLibrary(const ModuleLibrary&) = delete;
    ModuleLibrary& operator=(const ModuleLibrary&) = delete;

    platform::LibraryHandle handle() const { return handle_; }
    // platform::libraryExport, remembered when found: a loaded library's exports never change.
    void* exportNamed(const std::string& name);

private:
    platform::LibraryHandle handle_;
    std::shared_mutex mutex_;
    std::unordered_map<std::string, void*> exports_;
};

// The library at path: the table's when it has one, else found among the loaded libraries or
// loaded, and entered in the module handle list (the list takes a loader reference of its own
// when it adds it) and in the table once the list holds it. nullptr when it cannot be loaded.
std::shared_ptr<ModuleLibrary> acquireModuleLibrary(const std::string& path);

// After an escaped failure: the library leaves the table (under every path it was found by) and
// the handle list, which gives its reference back, so the next call loads it afresh once no call
// holds it any more. A removal whose wait for the list times out leaves it listed.
void dropModuleLibrary(const std::shared_ptr<ModuleLibrary>& library);

// Exit: the table lets go of every library (calls still running keep theirs until they end).
void forgetModuleLibraries();

} // namespace kx
