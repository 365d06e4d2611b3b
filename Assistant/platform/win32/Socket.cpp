#include "platform/Socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <climits>

namespace kx::platform {

namespace {

SOCKET native(SocketHandle socket)
{
    return static_cast<SOCKET>(socket);
}

} // namespace

bool prepareStreamSocket(SocketHandle socket)
{
    u_long off = 0;
    BOOL on = TRUE;
    return ::ioctlsocket(native(socket), FIONBIO, &off) == 0 &&
           ::setsockopt(native(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

// The receive time-out is a DWORD of milliseconds here (0 would mean "wait forever").
int setReceiveTimeout(SocketHandle socket, std::chrono::milliseconds timeout)
{
    const long long ms = std::clamp<long long>(timeout.count(), 1, 0xFFFFFFFEll);
    const DWORD value = static_cast<DWORD>(ms);
    return ::setsockopt(native(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value),
                        sizeof value) == 0
        ? 0
        : ::WSAGetLastError();
}

ReceiveResult receiveSome(SocketHandle socket, void* data, std::size_t size)
{
    const int want = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
    const int n = ::recv(native(socket), static_cast<char*>(data), want, 0);
    if (n > 0)
        return {ReceiveStatus::Data, static_cast<std::size_t>(n), 0};
    if (n == 0)
        return {ReceiveStatus::Closed, 0, 0};
    const int error = ::WSAGetLastError();
    switch (error) {
    case WSAETIMEDOUT:
    case WSAEWOULDBLOCK:
        return {ReceiveStatus::TimedOut, 0, 0};
    case WSAESHUTDOWN:           // receiving was shut down before the call
    case WSAEINTR:               // a blocked receive ended by shutdownSocket
    case WSA_OPERATION_ABORTED:
        return {ReceiveStatus::Closed, 0, 0};
    default:
        return {ReceiveStatus::Failed, 0, error};
    }
}

// One gathered send of every piece; the socket's blocking mode makes it wait until all is taken.
// Without waiting, the socket is non-blocking for the one call, so it takes only what fits at once.
int sendAll(SocketHandle socket, std::span<const std::string_view> pieces, bool wait)
{
    constexpr std::size_t kMaxPieces = 8;
    std::array<WSABUF, kMaxPieces> buffers{};
    std::size_t count = 0;
    std::size_t next = 0; // first piece not yet in buffers
    if (!wait) {
        u_long on = 1;
        if (::ioctlsocket(native(socket), FIONBIO, &on) != 0)
            return ::WSAGetLastError();
    }
    int result = 0;
    for (const std::string_view piece : pieces) {
        if (piece.size() > ULONG_MAX)
            result = WSAENOBUFS; // more than one buffer of the call can describe
    }
    while (result == 0) {
        // Refill the buffers with what is left, skipping empty pieces.
        while (count < kMaxPieces && next < pieces.size()) {
            const std::string_view piece = pieces[next++];
            if (!piece.empty())
                buffers[count++] = {static_cast<ULONG>(piece.size()), const_cast<char*>(piece.data())};
        }
        if (count == 0)
            break;
        DWORD sent = 0;
        if (::WSASend(native(socket), buffers.data(), static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) != 0) {
            result = ::WSAGetLastError();
            break;
        }
        if (!wait && sent == 0) {
            result = WSAEWOULDBLOCK;
            break;
        }
        // Drop what was sent from the front of the buffers.
        std::size_t first = 0;
        while (first < count && sent >= buffers[first].len) {
            sent -= buffers[first].len;
            ++first;
        }
        if (first < count) {
            buffers[first].buf += sent;
            buffers[first].len -= sent;
        }
        std::copy(buffers.begin() + static_cast<std::ptrdiff_t>(first),
                  buffers.begin() + static_cast<std::ptrdiff_t>(count), buffers.begin());
        count -= first;
    }
    if (!wait) {
        u_long off = 0;
        ::ioctlsocket(native(socket), FIONBIO, &off);
    }
    return result;
}

// A shutdown alone does not end a receive that another thread is blocked in on Windows: the
// socket's pending operations are cancelled as well, and the receive then reports Closed.
// (Cancelling reaches every operation pending on the socket, also a send with Receive.)
void shutdownSocket(SocketHandle socket, ShutdownMode mode)
{
    ::shutdown(native(socket), mode == ShutdownMode::Both ? SD_BOTH : SD_RECEIVE);
    ::CancelIoEx(reinterpret_cast<HANDLE>(native(socket)), nullptr);
}

void closeSocket(SocketHandle socket)
{
    ::closesocket(native(socket));
}

} // namespace kx::platform
