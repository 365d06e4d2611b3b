#pragma once
// The process-wide list of module library handles, guarded by "ComponentHandleMutex". Created
// empty at start-up before the HTTP service opens; every handle in it is released at exit.
#include "common/TimedMutex.h"
#include "platform/DynamicLibrary.h"

#include <chrono>
#include <mutex>
#include <vector>

namespace kx {

class ModuleHandleList {
public:
    static ModuleHandleList& instance();

    // Start-up: the list exists, empty.
    void create();
    bool exists() const;
    // Adds the handle unless it is listed already; waits at most `wait` for the mutex.
    // False when the wait timed out (the list is then left untouched) or the list does not exist.
    bool add(platform::LibraryHandle handle, std::chrono::milliseconds wait);
    enum class Registration { Added, Listed, Skipped };
    // Like add, telling whether the handle was newly added (the list then holds a library
    // reference of its own), was listed already, or was skipped (wait timed out, no list).
    Registration registerHandle(platform::LibraryHandle handle, std::chrono::milliseconds wait);
    bool contains(platform::LibraryHandle handle, std::chrono::milliseconds wait);
    // Removes the handle; false when the wait timed out or it was not listed.
    bool remove(platform::LibraryHandle handle, std::chrono::milliseconds wait);
    // Exit: releases every non-zero handle in order, then empties and destroys the list.
    void releaseAll();
    std::vector<platform::LibraryHandle> snapshot();

private:
    TimedMutex mutex_; // "ComponentHandleMutex"
    bool exists_ = false;
    std::vector<platform::LibraryHandle> handles_;
};

} // namespace kx
