#pragma once
// Blocking stream sockets for connection threads: receives that give up after a receive
// time-out, gathered sends, and a shutdown that another thread may call to end a receive or send
// that is blocked on the socket.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kx::platform {

using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kNoSocket = -1;

// Puts the socket in blocking mode and sends each piece at once (no coalescing delay).
// False when the socket refuses either.
bool prepareStreamSocket(SocketHandle socket);

// From now on a receive that sees no byte for this long (at least 1 ms) ends with TimedOut.
// 0 on success, or the system's error number.
int setReceiveTimeout(SocketHandle socket, std::chrono::milliseconds timeout);

enum class ReceiveStatus { Data, Closed, TimedOut, Failed };
struct ReceiveResult {
    ReceiveStatus status = ReceiveStatus::Failed;
    std::size_t bytes = 0; // with Data: how many bytes arrived
    int error = 0;         // with Failed: the system's error number
};
// Waits for at least one byte (within the receive time-out) and takes what has arrived, up to size.
// Closed when the peer ended its side or the socket was shut down.
ReceiveResult receiveSome(SocketHandle socket, void* data, std::size_t size);

// Sends every piece in order, all in one call when the socket takes them. With wait false, sends
// only what the socket takes at once and fails when that is not everything. 0 on success, or the
// system's error number (a peer that went away never raises a signal).
int sendAll(SocketHandle socket, std::span<const std::string_view> pieces, bool wait = true);

// Ends receiving, or both directions; a receive (or, with Both, a send) blocked on the socket in
// another thread returns. Bytes already queued may still be received. The handle stays valid
// until closeSocket.
enum class ShutdownMode { Receive, Both };
void shutdownSocket(SocketHandle socket, ShutdownMode mode);
void closeSocket(SocketHandle socket);

} // namespace kx::platform
