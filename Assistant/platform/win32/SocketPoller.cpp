#include "platform/SocketPoller.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <system_error>
#include <vector>

namespace kx::platform {

// Level-triggered over WSAPoll: every wait polls the registered sockets for bytes to read, so a
// socket with unread bytes is reported again on every wait. A peer that closed or reset the
// connection is reported as readable too (the read then tells which). The wake is a UDP socket on
// 127.0.0.1 that wake() sends one byte to; wait() drains it. The socket set is in one array that
// only the loop thread touches (add, remove, wait), with the wake socket first.
struct SocketPoller::Impl {
    SOCKET wakeSocket = INVALID_SOCKET;
    sockaddr_in wakeAddress{};
    std::vector<WSAPOLLFD> polled;   // [0] is the wake socket
    std::vector<std::uint64_t> keys; // keys[i] goes with polled[i]
    std::atomic<bool> wakePending{false};
    std::size_t nextScan = 0; // where wait() starts looking among the sockets
};

namespace {

// Winsock must be started once by every user of it; each poller starts it for itself.
void startWinsock()
{
    WSADATA data{};
    const int error = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (error != 0)
        throw std::system_error(error, std::system_category(), "WSAStartup");
}

[[noreturn]] void fail(SOCKET s, const char* what)
{
    const int error = ::WSAGetLastError();
    if (s != INVALID_SOCKET)
        ::closesocket(s);
    ::WSACleanup();
    throw std::system_error(error, std::system_category(), what);
}

} // namespace

SocketPoller::SocketPoller() : impl_(std::make_unique<Impl>())
{
    startWinsock();
    const SOCKET s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        fail(s, "WSASocketW");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    u_long on = 1;
    if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        fail(s, "bind");
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        fail(s, "getsockname");
    if (::ioctlsocket(s, FIONBIO, &on) != 0)
        fail(s, "ioctlsocket");
    impl_->wakeSocket = s;
    impl_->wakeAddress = address;
    impl_->polled.push_back({s, POLLRDNORM, 0});
    impl_->keys.push_back(0);
}

SocketPoller::~SocketPoller()
{
    ::closesocket(impl_->wakeSocket);
    ::WSACleanup();
}

int SocketPoller::add(SocketHandle socket, std::uint64_t key)
{
    const SOCKET s = static_cast<SOCKET>(socket);
    for (std::size_t i = 1; i < impl_->polled.size(); ++i)
        if (impl_->polled[i].fd == s)
            return WSAEINVAL; // registered already
    try {
        impl_->polled.push_back({s, POLLRDNORM, 0});
        impl_->keys.push_back(key);
    } catch (const std::bad_alloc&) {
        impl_->polled.resize(impl_->keys.size());
        return WSAENOBUFS;
    }
    return 0;
}

void SocketPoller::remove(SocketHandle socket)
{
    const SOCKET s = static_cast<SOCKET>(socket);
    for (std::size_t i = 1; i < impl_->polled.size(); ++i) {
        if (impl_->polled[i].fd != s)
            continue;
        // The last entry takes its place: the order of the sockets does not matter.
        impl_->polled[i] = impl_->polled.back();
        impl_->keys[i] = impl_->keys.back();
        impl_->polled.pop_back();
        impl_->keys.pop_back();
        return;
    }
}

std::size_t SocketPoller::wait(std::span<PollEvent> events, std::chrono::milliseconds timeout)
{
    const INT ms = timeout.count() < 0 ? -1 : static_cast<INT>(std::min<long long>(timeout.count(), 24 * 3600 * 1000));
    auto& polled = impl_->polled;
    for (WSAPOLLFD& p : polled)
        p.revents = 0;
    const int n = ::WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), ms);
    if (n <= 0)
        return 0;
    if (polled[0].revents != 0) {
        // Drain the wake byte, then let the next wake() send again. In this order no wake is
        // lost: one that found the flag still set came before the caller looks at its queue, and
        // one after the flag is cleared sends a byte that the next wait sees.
        char drain[64];
        while (::recv(impl_->wakeSocket, drain, sizeof drain, 0) > 0) {
        }
        impl_->wakePending.store(false);
    }
    // More readable sockets than events: the scan starts where the last one stopped, so every
    // socket has its turn.
    const std::size_t sockets = polled.size() - 1;
    std::size_t count = 0;
    for (std::size_t step = 0; step < sockets && count < events.size(); ++step) {
        const std::size_t i = 1 + (impl_->nextScan + step) % sockets;
        if (polled[i].revents & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL)) {
            events[count++].key = impl_->keys[i];
            if (count == events.size())
                impl_->nextScan = (impl_->nextScan + step + 1) % sockets;
        }
    }
    return count;
}

void SocketPoller::wake()
{
    // One byte is enough until the loop drains it.
    if (impl_->wakePending.exchange(true))
        return;
    const char one = 1;
    if (::sendto(impl_->wakeSocket, &one, 1, 0, reinterpret_cast<const sockaddr*>(&impl_->wakeAddress),
                 sizeof impl_->wakeAddress) != 1)
        impl_->wakePending.store(false); // the next wake() tries again
}

} // namespace kx::platform
