#pragma once
// Waits for many sockets at once on behalf of one loop thread: which registered sockets have bytes
// to read (or were closed by the peer), or that another thread asked the loop to look at its
// queue (wake). A socket stays reported for as long as unread bytes wait on it. The poller holds
// a fixed number of descriptors of its own, whatever the number of sockets registered.
#include "platform/Socket.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

namespace kx::platform {

struct PollEvent {
    std::uint64_t key = 0; // the key the socket was registered with (any value but the largest)
};

class SocketPoller {
public:
    // Raises std::system_error when the system has no poller to give (out of descriptors).
    SocketPoller();
    ~SocketPoller();
    SocketPoller(const SocketPoller&) = delete;
    SocketPoller& operator=(const SocketPoller&) = delete;

    // The loop thread. 0 on success, or the system's error number.
    int add(SocketHandle socket, std::uint64_t key);
    // Before the socket is closed or handed to another thread.
    void remove(SocketHandle socket);
    // Waits until a registered socket is readable, wake() was called, or the timeout passed
    // (negative: no timeout), and reports up to events.size() readable sockets. A wake() returns
    // with possibly no event.
    std::size_t wait(std::span<PollEvent> events, std::chrono::milliseconds timeout);
    // Any thread: makes the current or next wait() return.
    void wake();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kx::platform
