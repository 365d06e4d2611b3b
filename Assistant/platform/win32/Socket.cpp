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

constexpr std::size_t kMaxPieces = 8;

// A send that waits for room looks again this often whether the socket was shut down meanwhile:
// a shutdown from another thread does not always end a poll that waits on the socket (Wine's
// does not). Only a send that found the socket full waits at all.
constexpr INT kShutdownRecheckMs = 50;

// Where the next byte to send is: a piece, and how far into it.
struct Cursor {
    std::size_t piece = 0;
    std::size_t offset = 0;
};

// The pieces from the cursor on, skipping empty ones, into buffers (at most kMaxPieces). A piece
// longer than one buffer describes takes several.
std::size_t fillBuffers(std::span<const std::string_view> pieces, Cursor& next,
                        std::array<WSABUF, kMaxPieces>& buffers, std::size_t count)
{
    while (count < kMaxPieces && next.piece < pieces.size()) {
        const std::string_view piece = pieces[next.piece];
        const std::size_t left = piece.size() - next.offset;
        if (left == 0) {
            ++next.piece;
            next.offset = 0;
            continue;
        }
        const std::size_t take = std::min<std::size_t>(left, ULONG_MAX);
        buffers[count++] = {static_cast<ULONG>(take), const_cast<char*>(piece.data() + next.offset)};
        next.offset += take;
    }
    return count;
}

// Drops `sent` bytes from the front of the buffers; returns how many are left.
std::size_t dropSent(std::array<WSABUF, kMaxPieces>& buffers, std::size_t count, std::size_t sent)
{
    std::size_t first = 0;
    while (first < count && sent >= buffers[first].len) {
        sent -= buffers[first].len;
        ++first;
    }
    if (first < count) {
        buffers[first].buf += sent;
        buffers[first].len -= static_cast<ULONG>(sent);
    }
    std::copy(buffers.begin() + static_cast<std::ptrdiff_t>(first),
              buffers.begin() + static_cast<std::ptrdiff_t>(count), buffers.begin());
    return count - first;
}

// One gathered send; 0 with the bytes taken, or the Winsock error.
int sendBuffers(SocketHandle socket, std::array<WSABUF, kMaxPieces>& buffers, std::size_t count, std::size_t& sent)
{
    DWORD bytes = 0;
    if (::WSASend(native(socket), buffers.data(), static_cast<DWORD>(count), &bytes, 0, nullptr, nullptr) != 0)
        return ::WSAGetLastError();
    sent = bytes;
    return 0;
}

} // namespace

SocketHandle acceptConnection(SocketHandle listener, int& error)
{
    const SOCKET accepted = ::accept(native(listener), nullptr, nullptr);
    if (accepted == INVALID_SOCKET) {
        error = ::WSAGetLastError();
        return kNoSocket;
    }
    // An accepted socket may inherit the listener's inheritable handle; the processes this one
    // starts must not hold connections open.
    ::SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
    error = 0;
    return static_cast<SocketHandle>(accepted);
}

int prepareListener(SocketHandle socket)
{
    BOOL on = TRUE;
    return ::setsockopt(native(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                        sizeof on) == 0
               ? 0
               : ::WSAGetLastError();
}

// Windows sockets have no per-call "do not wait": the socket is non-blocking, and the receive that
// waits polls first, for the wait kept as the socket's receive time-out.
bool prepareStreamSocket(SocketHandle socket, int receiveWaitMs)
{
    u_long on = 1;
    BOOL noDelay = TRUE;
    const DWORD wait = static_cast<DWORD>(receiveWaitMs);
    return receiveWaitMs > 0 && ::ioctlsocket(native(socket), FIONBIO, &on) == 0 &&
           ::setsockopt(native(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait),
                        sizeof wait) == 0 &&
           ::setsockopt(native(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                        sizeof noDelay) == 0;
}

ReceiveResult receiveSome(SocketHandle socket, void* data, std::size_t size)
{
    const int want = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
    while (true) {
        const int n = ::recv(native(socket), static_cast<char*>(data), want, 0);
        if (n > 0)
            return {ReceiveStatus::Data, static_cast<std::size_t>(n), 0};
        if (n == 0)
            return {ReceiveStatus::Closed, 0, 0};
        const int error = ::WSAGetLastError();
        switch (error) {
        case WSAEINTR:
            continue;
        case WSAEWOULDBLOCK:
            return {ReceiveStatus::WouldBlock, 0, 0};
        case WSAESHUTDOWN: // receiving was shut down
            return {ReceiveStatus::Closed, 0, 0};
        default:
            return {ReceiveStatus::Failed, 0, error};
        }
    }
}

ReceiveResult receiveWaiting(SocketHandle socket, void* data, std::size_t size)
{
    DWORD wait = 0;
    int length = sizeof wait;
    if (::getsockopt(native(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&wait), &length) != 0)
        return {ReceiveStatus::Failed, 0, ::WSAGetLastError()};
    // A poll is not woken by a shutdown from another thread everywhere (Wine's is not): the wait
    // goes in slices, and a receive after each tells a shut-down socket (Closed) at once.
    constexpr DWORD kSliceMs = 20;
    const ULONGLONG end = ::GetTickCount64() + wait;
    while (true) {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD slice = now >= end ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(end - now, kSliceMs));
        WSAPOLLFD p{};
        p.fd = static_cast<SOCKET>(socket);
        p.events = POLLRDNORM;
        const int ready = ::WSAPoll(&p, 1, static_cast<int>(slice));
        if (ready < 0)
            return {ReceiveStatus::Failed, 0, ::WSAGetLastError()};
        const ReceiveResult r = receiveSome(socket, data, size);
        if (r.status != ReceiveStatus::WouldBlock || slice == 0 || ::GetTickCount64() >= end)
            return r;
    }
}

SendResult sendSome(SocketHandle socket, std::span<const std::string_view> pieces)
{
    std::array<WSABUF, kMaxPieces> buffers{};
    Cursor next;
    std::size_t count = fillBuffers(pieces, next, buffers, 0);
    SendResult result;
    while (count > 0) {
        std::size_t sent = 0;
        const int error = sendBuffers(socket, buffers, count, sent);
        if (error == WSAEINTR)
            continue;
        if (error) {
            if (error != WSAEWOULDBLOCK)
                result.error = error;
            return result;
        }
        result.bytes += sent;
        count = dropSent(buffers, count, sent);
        if (count > 0)
            return result; // the socket is full
        count = fillBuffers(pieces, next, buffers, 0); // more pieces than one call takes
    }
    return result;
}

int sendAll(SocketHandle socket, std::span<const std::string_view> pieces, bool wait, int stallLimitMs)
{
    std::array<WSABUF, kMaxPieces> buffers{};
    std::size_t count = 0;
    Cursor next;
    // The stall limit counts from the last byte sent.
    const ULONGLONG stallLimit = stallLimitMs < 0 ? ULLONG_MAX : static_cast<ULONGLONG>(stallLimitMs);
    ULONGLONG lastProgress = ::GetTickCount64();
    while (true) {
        count = fillBuffers(pieces, next, buffers, count);
        if (count == 0)
            return 0;
        std::size_t sent = 0;
        const int error = sendBuffers(socket, buffers, count, sent);
        if (error == WSAEINTR)
            continue;
        if (error) {
            if (error != WSAEWOULDBLOCK || !wait)
                return error;
            // Full: wait for room, the peer going away, or a shutdown (the next send then fails).
            WSAPOLLFD p{native(socket), POLLWRNORM, 0};
            const int ready = ::WSAPoll(&p, 1, kShutdownRecheckMs);
            if (ready == SOCKET_ERROR)
                return ::WSAGetLastError();
            if (ready == 0 && ::GetTickCount64() - lastProgress >= stallLimit)
                return WSAETIMEDOUT;
            continue;
        }
        lastProgress = ::GetTickCount64();
        count = dropSent(buffers, count, sent);
    }
}

void shutdownSocket(SocketHandle socket, ShutdownMode mode)
{
    ::shutdown(native(socket), mode == ShutdownMode::Both ? SD_BOTH : SD_RECEIVE);
}

void closeSocket(SocketHandle socket)
{
    ::closesocket(native(socket));
}

} // namespace kx::platform
