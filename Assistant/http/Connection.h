#pragma once
// One accepted connection: its socket (the only descriptor a connection holds), the bytes received
// and not yet parsed, the request being parsed and its deadline. One thread owns it at a time: the
// loop thread that reads its requests, or the worker that answers one of them; stop() may be
// called from any thread to end it promptly.
#include "http/BodyBudget.h"
#include "http/Dispatcher.h"
#include "platform/Socket.h"

#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/system/error_code.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kx::http {

using WireParser = boost::beast::http::request_parser<boost::beast::http::string_body>;
using WireMessage = boost::beast::http::request<boost::beast::http::string_body>;

class Connection {
public:
    using Clock = std::chrono::steady_clock;

    // Takes the socket over and readies it (platform::prepareStreamSocket). A write that can send
    // nothing for writeStallMs milliseconds fails (negative: it waits as long as it takes).
    Connection(platform::SocketHandle socket, std::uint64_t id, int writeStallMs = -1);
    ~Connection(); // closes the socket unless close() did
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    std::uint64_t id() const { return id_; }
    platform::SocketHandle socket() const { return socket_; }

    // Without waiting: what has arrived, and what the socket takes at once.
    platform::ReceiveResult receive(void* data, std::size_t size);
    platform::SendResult sendSome(std::span<const std::string_view> pieces);
    // How long a worker that wrote a whole reply waits for the connection's next request. Short:
    // the thread is held while it waits, and a client that takes longer is served by the loop.
    static constexpr int kNextRequestWaitMs = 2;
    // Waits at most kNextRequestWaitMs for something to receive and takes it; Closed at once after
    // stop().
    platform::ReceiveResult receiveNextRequest(void* data, std::size_t size);
    // Writes everything, waiting for room within the stall limit (a worker thread). After stop() it
    // sends only what the socket takes at once, so a short last reply still reaches the peer but
    // nothing waits for it.
    boost::system::error_code write(std::span<const std::string_view> pieces);

    // Any thread, when the service stops: a write in progress is ended, later writes never wait.
    void stop();
    // The owner, when it is done with the connection: ends it (the peer sees the end of the stream
    // after everything written) and frees the socket.
    void close();

    // Owner's state while a request is read.
    std::string inbox;                 // received, not yet parsed
    std::optional<WireParser> parser;  // the request being read; empty between requests
    bool headDone = false;             // the parser has seen the whole head of this request
    bool inBody = false;               // the body is still arriving (the idle limit applies)
    std::size_t requestBytes = 0;      // bytes of this request the parser has taken
    BodyReservation body;              // this request's share of the service's body budget
    Clock::time_point deadline{};      // when the connection is closed unless the request advances
    Clock::time_point watchedAt = Clock::time_point::max(); // the loop's deadline record for it

private:
    const std::uint64_t id_;
    const int writeStallMs_;
    platform::SocketHandle socket_;
    // Guards the handle against close while stop() uses it, and the flag below.
    std::mutex mutex_;
    std::atomic<bool> stopped_{false};
    bool writing_ = false; // a waiting write is in progress
};

// Writes a reply on a worker thread, skipping the first `skip` bytes of head and text body (sent
// already): head and body, then a streamed body or the file's bytes in pieces (never held in
// memory whole). False when the connection failed or the body came out other than announced.
bool writeReply(Connection& conn, const ReplyHead& reply, std::size_t skip = 0);

} // namespace kx::http
