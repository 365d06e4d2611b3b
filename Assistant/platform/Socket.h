#pragma once
// Stream sockets for the connection loop and its workers: receives and sends that take what the
// socket has at once, a receive that waits a moment for a client's next request, a send that waits
// until everything is written, and a shutdown that another thread may call to end a wait.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kx::platform {

using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kNoSocket = -1;

// Takes the next connection waiting on a listening socket, without waiting. kNoSocket with the
// system's error number in `error` when there is none (would-block), the peer gave up before it
// was taken, or the system has no descriptor or memory to give. The handle is not inherited by
// child processes; prepareStreamSocket readies it for the connection loop.
SocketHandle acceptConnection(SocketHandle listener, int& error);

// Readies a socket for listening, before it is bound: its port can be bound again at once after
// the program ends (connections of the last run that linger do not block it), but never while
// another socket listens on it, of whatever program and with whatever options (on Windows,
// SO_REUSEADDR would let a bind take a port another program holds, and let another program take
// ours: the port is held exclusively instead). 0, or the system's error number.
int prepareListener(SocketHandle socket);

// Readies an accepted socket for the connection loop: no receive or send waits unless it says so,
// each piece is sent at once (no coalescing delay), and a receive that waits (receiveWaiting)
// waits at most receiveWaitMs milliseconds (more than 0). False when the socket refuses any of it.
bool prepareStreamSocket(SocketHandle socket, int receiveWaitMs);

enum class ReceiveStatus { Data, Closed, WouldBlock, Failed };
struct ReceiveResult {
    ReceiveStatus status = ReceiveStatus::Failed;
    std::size_t bytes = 0; // with Data: how many bytes arrived
    int error = 0;         // with Failed: the system's error number
};
// Takes what has arrived, up to size, without waiting. Closed when the peer ended its side or the
// socket was shut down; WouldBlock when nothing has arrived yet.
ReceiveResult receiveSome(SocketHandle socket, void* data, std::size_t size);

// Waits for something to receive for at most the socket's receive wait (prepareStreamSocket) and
// takes it, up to size: in one system call where the system allows. A shutdown of the socket ends
// a wait in progress (Closed); WouldBlock when the wait passed with nothing.
ReceiveResult receiveWaiting(SocketHandle socket, void* data, std::size_t size);

struct SendResult {
    std::size_t bytes = 0; // how many bytes of the pieces, in order, the socket took
    int error = 0;         // 0, or the system's error number (a full socket is no error)
};
// Sends what the socket takes at once of the pieces, in order, in one call.
SendResult sendSome(SocketHandle socket, std::span<const std::string_view> pieces);

// Sends every piece in order, all in one call when the socket takes them. With wait true, waits
// for room in the socket until the peer goes, the socket is shut down, or (stallLimitMs not
// negative) no byte could be sent for stallLimitMs milliseconds, which gives the system's time-out
// error (ETIMEDOUT, WSAETIMEDOUT); with wait false, fails when the socket does not take everything
// at once. 0 on success, or the system's error number (a peer that went away never raises a signal).
int sendAll(SocketHandle socket, std::span<const std::string_view> pieces, bool wait = true, int stallLimitMs = -1);

// Ends receiving, or both directions; with Both, a send that waits in another thread returns.
// Bytes already queued may still be received. The handle stays valid until closeSocket.
enum class ShutdownMode { Receive, Both };
void shutdownSocket(SocketHandle socket, ShutdownMode mode);
void closeSocket(SocketHandle socket);

} // namespace kx::platform
