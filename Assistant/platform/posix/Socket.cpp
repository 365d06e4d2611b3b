#include "platform/Socket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
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

} // namespace

bool prepareStreamSocket(SocketHandle socket)
{
    int off = 0;
    int on = 1;
    return ::ioctl(fd(socket), FIONBIO, &off) == 0 &&
           ::setsockopt(fd(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

int setReceiveTimeout(SocketHandle socket, std::chrono::milliseconds timeout)
{
    const long long ms = std::max<long long>(timeout.count(), 1); // zero would mean "wait forever"
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return ::setsockopt(fd(socket), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 ? 0 : errno;
}

ReceiveResult receiveSome(SocketHandle socket, void* data, std::size_t size)
{
    while (true) {
        const ssize_t n = ::recv(fd(socket), data, size, 0);
        if (n > 0)
            return {ReceiveStatus::Data, static_cast<std::size_t>(n), 0};
        if (n == 0)
            return {ReceiveStatus::Closed, 0, 0};
        // A signal handled on this thread interrupts a receive that has a time-out even when the
        // handler asked for restarts: wait again.
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return {ReceiveStatus::TimedOut, 0, 0};
        return {ReceiveStatus::Failed, 0, errno};
    }
}

int sendAll(SocketHandle socket, std::span<const std::string_view> pieces, bool wait)
{
    constexpr std::size_t kMaxPieces = 8;
    std::array<iovec, kMaxPieces> iov{};
    std::size_t count = 0;
    std::size_t next = 0; // first piece not yet in iov
    while (true) {
        // Refill the vector with what is left, skipping empty pieces.
        while (count < kMaxPieces && next < pieces.size()) {
            if (!pieces[next].empty())
                iov[count++] = {const_cast<char*>(pieces[next].data()), pieces[next].size()};
            ++next;
        }
        if (count == 0)
            return 0;
        msghdr msg{};
        msg.msg_iov = iov.data();
        msg.msg_iovlen = count;
        const ssize_t n = ::sendmsg(fd(socket), &msg, wait ? MSG_NOSIGNAL : MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        // Drop what was sent from the front of the vector.
        std::size_t sent = static_cast<std::size_t>(n);
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
        count -= first;
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
