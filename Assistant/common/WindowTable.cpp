#include "common/WindowTable.h"

#include <mutex>
#include <vector>

namespace kx {
namespace {

struct Entry {
    WindowId id;
    std::string className;
    std::string title;
    std::shared_ptr<MessageTarget> target;
};

struct Table {
    std::mutex mutex;
    std::vector<Entry> entries;
    WindowId nextId = 1;
};

Table& table()
{
    static Table t;
    return t;
}

std::shared_ptr<MessageTarget> targetOf(WindowId window)
{
    Table& t = table();
    std::lock_guard lock(t.mutex);
    for (const Entry& e : t.entries)
        if (e.id == window)
            return e.target;
    return nullptr;
}

} // namespace

WindowId registerWindow(const std::string& className, const std::string& title,
                        std::shared_ptr<MessageTarget> target)
{
    Table& t = table();
    std::lock_guard lock(t.mutex);
    WindowId id = t.nextId++;
    t.entries.push_back({id, className, title, std::move(target)});
    return id;
}

void unregisterWindow(WindowId window)
{
    Table& t = table();
    std::lock_guard lock(t.mutex);
    std::erase_if(t.entries, [window](const Entry& e) { return e.id == window; });
}

WindowId findWindow(const std::string& className, const std::string* title)
{
    Table& t = table();
    std::lock_guard lock(t.mutex);
    for (const Entry& e : t.entries)
        if (e.className == className && (!title || e.title == *title))
            return e.id;
    return 0;
}

bool postMessage(WindowId window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    auto target = targetOf(window);
    if (!target)
        return false;
    target->post(message, wParam, lParam);
    return true;
}

std::intptr_t sendMessage(WindowId window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    auto target = targetOf(window);
    return target ? target->send(message, wParam, lParam) : 0;
}

} // namespace kx
