#pragma once
// A process-wide table of named windows (class name and title) that stands in for the
// operating system's window lookup and message delivery. A window registers a target that
// knows how to run a message on the window's own thread; post queues the message, send runs it
// there and waits for its result (directly when already on that thread).
#include <cstdint>
#include <memory>
#include <string>

namespace kx {

using WindowId = std::uintptr_t; // 0 = no window

class MessageTarget {
public:
    virtual ~MessageTarget() = default;
    virtual void post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) = 0;
    virtual std::intptr_t send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) = 0;
};

WindowId registerWindow(const std::string& className, const std::string& title,
                        std::shared_ptr<MessageTarget> target);
void unregisterWindow(WindowId window);
// title == nullptr matches any title. Gives the first registered match, or 0.
WindowId findWindow(const std::string& className, const std::string* title);
// False when the window does not exist.
bool postMessage(WindowId window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
// 0 when the window does not exist.
std::intptr_t sendMessage(WindowId window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam);

} // namespace kx
