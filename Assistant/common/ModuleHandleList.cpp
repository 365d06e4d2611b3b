#include "common/ModuleHandleList.h"

#include <algorithm>

namespace kx {

ModuleHandleList& ModuleHandleList::instance()
{
    static ModuleHandleList list;
    return list;
}

void ModuleHandleList::create()
{
    std::lock_guard lock(mutex_);
    handles_.clear();
    exists_ = true;
}

bool ModuleHandleList::exists() const
{
    return exists_;
}

bool ModuleHandleList::add(platform::LibraryHandle handle, std::chrono::milliseconds wait)
{
    std::unique_lock lock(mutex_, wait);
    if (!lock.owns_lock() || !exists_)
        return false;
    if (std::find(handles_.begin(), handles_.end(), handle) == handles_.end())
        handles_.push_back(handle);
    return true;
}

ModuleHandleList::Registration ModuleHandleList::registerHandle(platform::LibraryHandle handle,
                                                                std::chrono::milliseconds wait)
{
    std::unique_lock lock(mutex_, wait);
    if (!lock.owns_lock() || !exists_)
        return Registration::Skipped;
    if (std::find(handles_.begin(), handles_.end(), handle) != handles_.end())
        return Registration::Listed;
    handles_.push_back(handle);
    return Registration::Added;
}

bool ModuleHandleList::contains(platform::LibraryHandle handle, std::chrono::milliseconds wait)
{
    std::unique_lock lock(mutex_, wait);
    return lock.owns_lock() && std::find(handles_.begin(), handles_.end(), handle) != handles_.end();
}

bool ModuleHandleList::remove(platform::LibraryHandle handle, std::chrono::milliseconds wait)
{
    std::unique_lock lock(mutex_, wait);
    if (!lock.owns_lock())
        return false;
    auto it = std::find(handles_.begin(), handles_.end(), handle);
    if (it == handles_.end())
        return false;
    handles_.erase(it);
    return true;
}

void ModuleHandleList::releaseAll()
{
    std::vector<platform::LibraryHandle> handles;
    {
        std::lock_guard lock(mutex_);
        handles.swap(handles_);
        exists_ = false;
    }
    for (auto h : handles)
        if (h)
            platform::releaseLibrary(h);
}

std::vector<platform::LibraryHandle> ModuleHandleList::snapshot()
{
    std::lock_guard lock(mutex_);
    return handles_;
}

} // namespace kx
