#pragma once
// The byte stream of one accepted connection, owned by its connection thread: blocking reads and
// writes on the connection's socket, which is the only descriptor a connection holds. Time limits
// are receive time-outs on that socket, so they cost no descriptor and no call per request while
// they stay the same:
//   - head: the head of a request must be complete within headLimit of beginHead() (an idle
//     kept-alive connection is closed when that time is up);
//   - body: after beginBody() every read must bring a byte within bodyIdleLimit.
// A read that runs out of time fails with boost::beast::error::timeout; the peer's end of stream
// is boost::asio::error::eof. stop() may be called from any thread to end the connection promptly.
// Models Beast's SyncReadStream, so Beast's synchronous parsers read from it.
#include "platform/Socket.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

#include <atomic>
#include <chrono>
#include <mutex>
#include <span>
#include <string_view>

namespace kx::http {

class ConnectionStream {
public:
    ConnectionStream(platform::SocketHandle socket, std::chrono::milliseconds headLimit,
                     std::chrono::milliseconds bodyIdleLimit);
    ~ConnectionStream(); // closes the socket unless close() did
    ConnectionStream(const ConnectionStream&) = delete;
    ConnectionStream& operator=(const ConnectionStream&) = delete;

    void beginHead();
    void beginBody();

    template <class MutableBufferSequence>
    std::size_t read_some(const MutableBufferSequence& buffers, boost::system::error_code& ec)
    {
        for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers); ++it) {
            boost::asio::mutable_buffer b = *it;
            if (b.size() > 0)
                return readInto(b.data(), b.size(), ec);
        }
        ec = {};
        return 0;
    }

    template <class MutableBufferSequence>
    std::size_t read_some(const MutableBufferSequence& buffers)
    {
        boost::system::error_code ec;
        std::size_t n = read_some(buffers, ec);
        if (ec)
            throw boost::system::system_error(ec);
        return n;
    }

    // Writes the pieces in order, gathered into one write when the socket takes them at once.
    boost::system::error_code write(std::span<const std::string_view> pieces);

    // Any thread, when the service stops: a blocked read returns and later reads fail with
    // operation_aborted; a write in progress is ended; a later write sends only what the socket
    // takes at once, so a short last reply still reaches the peer but nothing waits for it.
    void stop();
    // The owning thread, when it is done with the connection: ends it and frees the socket.
    void close();

private:
    std::size_t readInto(void* data, std::size_t size, boost::system::error_code& ec);
    boost::system::error_code applyReceiveTimeout(std::chrono::milliseconds timeout);

    enum class Phase { Head, Body };

    platform::SocketHandle socket_;
    // Guards the handle against close while stop() uses it, and the two flags below.
    std::mutex mutex_;
    std::atomic<bool> stopped_{false};
    bool writing_ = false; // a blocking write is in progress
    std::chrono::milliseconds headLimit_;
    std::chrono::milliseconds bodyIdleLimit_;
    std::chrono::milliseconds receiveTimeout_{0}; // what the socket holds now; 0 = not set yet
    Phase phase_ = Phase::Head;
    bool firstHeadRead_ = true;
    std::chrono::steady_clock::time_point headDeadline_{};
};

} // namespace kx::http
