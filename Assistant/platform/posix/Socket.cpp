#include "platform/Socket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace kx::platform {

namespace {

int fd(SocketHandle socket)
{
    return static_cast<int>(socket);
}

constexpr std::size_t kMaxPieces = 8;

// The pieces from `next` on, skipping empty ones, into iov (at most kMaxPieces).
std::size_t fillVector(std::span<const std::string_view> pieces, std::size_t& next, std::array<iovec, kMaxPieces>& iov,
                       std::size_t count)
{
    while (count < kMaxPieces && next < pieces.size()) {
        if (!pieces[next].empty())
            iov[count++] = {const_cast<char*>(pieces[next].data()), pieces[next].size()};
        ++next;
    }
    return count;
}

// Drops `sent` bytes from the front of the vector; returns how many entries are left.
std::size_t dropSent(std::array<iovec, kMaxPieces>& iov, std::size_t count, std::size_t sent)
{
    std::size_t first = 0;
    while (first < count && sent >= iov[first].iov_len) {
        sent -= iov[first].iov_len;
        ++first;
    }
    if (first < count) {
        iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + sent;
        iov[first].iov_len -= sent;
    }
    std::copy(iov.begin() + static_cast<std::ptrdiff_t>(first), iov.begin() + static_cast<std::ptrdiff_t>(count),
              iov.begin());
    return count - first;
}

ssize_t sendVector(SocketHandle socket, std::array<iovec, kMaxPieces>& iov, std::size_t count)
{
    msghdr msg{};
    msg.msg_iov = iov.data();
    msg.msg_iovlen = count;
    return ::sendmsg(fd(socket), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
}

} // namespace

SocketHandle acceptConnection(SocketHandle listener, int& error)
{
    while (true) {
        const int accepted = ::accept4(fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
        if (accepted >= 0) {
            error = 0;
            return accepted;
        }
        if (errno == EINTR)
            continue;
        error = errno;
        return kNoSocket;
    }
}

int prepareListener(SocketHandle socket)
{
    int on = 1;
    return ::setsockopt(fd(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : errno;
}

// The socket itself blocks, bounded by its receive time-out; every receive and send that must not
// wait says so (MSG_DONTWAIT), so the one that may wait needs no poll before it.
bool prepareStreamSocket(SocketHandle socket, int receiveWaitMs)
{
    int on = 1;
    const timeval wait{receiveWaitMs / 1000, (receiveWaitMs % 1000) * 1000};
    return receiveWaitMs > 0 && ::setsockopt(fd(socket), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0 &&
           ::setsockopt(fd(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

namespace {

ReceiveResult receive(SocketHandle socket, void* data, std::size_t size, int flags)
{
    while (true) {
        const ssize_t n = ::recv(fd(socket), data, size, flags);
        if (n > 0)
            return {ReceiveStatus::Data, static_cast<std::size_t>(n), 0};
        if (n == 0)
            return {ReceiveStatus::Closed, 0, 0};
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return {ReceiveStatus::WouldBlock, 0, 0};
        return {ReceiveStatus::Failed, 0, errno};
    }
}

} // namespace

ReceiveResult receiveSome(SocketHandle socket, void* data, std::size_t size)
{
    return receive(socket, data, size, MSG_DONTWAIT);
}

ReceiveResult receiveWaiting(SocketHandle socket, void* data, std::size_t size)
{
    return receive(socket, data, size, 0);
}

SendResult sendSome(SocketHandle socket, std::span<const std::string_view> pieces)
{
    std::array<iovec, kMaxPieces> iov{};
    std::size_t next = 0;
    std::size_t count = fillVector(pieces, next, iov, 0);
    SendResult result;
    while (count > 0) {
        const ssize_t n = sendVector(socket, iov, count);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                result.error = errno;
            return result;
        }
        result.bytes += static_cast<std::size_t>(n);
        count = dropSent(iov, count, static_cast<std::size_t>(n));
        if (count > 0)
            return result; // the socket is full
        count = fillVector(pieces, next, iov, 0); // more pieces than one call takes
    }
    return result;
}

int sendAll(SocketHandle socket, std::span<const std::string_view> pieces, bool wait, int stallLimitMs)
{
    std::array<iovec, kMaxPieces> iov{};
    std::size_t count = 0;
    std::size_t next = 0; // first piece not yet in iov
    while (true) {
        count = fillVector(pieces, next, iov, count);
        if (count == 0)
            return 0;
        const ssize_t n = sendVector(socket, iov, count);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if ((errno != EAGAIN && errno != EWOULDBLOCK) || !wait)
                return errno;
            // Full: wait for room. A shutdown from another thread ends the wait (the next send
            // then fails). The stall limit counts from the last byte sent; an interrupted wait
            // simply waits again.
            pollfd p{fd(socket), POLLOUT, 0};
            const int ready = ::poll(&p, 1, stallLimitMs < 0 ? -1 : stallLimitMs);
            if (ready < 0 && errno != EINTR)
                return errno;
            if (ready == 0)
                return ETIMEDOUT;
            continue;
        }
        count = dropSent(iov, count, static_cast<std::size_t>(n));
    }
}

void shutdownSocket(SocketHandle socket, ShutdownMode mode)
{
    ::shutdown(fd(socket), mode == ShutdownMode::Both ? SHUT_RDWR : SHUT_RD);
}

void closeSocket(SocketHandle socket)
{
    ::close(fd(socket));
}

} // namespace kx::platform
