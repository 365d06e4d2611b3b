#include "http/ConnectionStream.h"

#include <boost/asio/error.hpp>

namespace kx::http {

ConnectionStream::ConnectionStream(platform::SocketHandle socket, std::chrono::milliseconds headLimit,
                                   std::chrono::milliseconds bodyIdleLimit)
    : socket_(socket), headLimit_(headLimit), bodyIdleLimit_(bodyIdleLimit)
{
    platform::prepareStreamSocket(socket_);
}

ConnectionStream::~ConnectionStream()
{
    close();
}

void ConnectionStream::close()
{
    std::lock_guard lock(mutex_);
    if (socket_ == platform::kNoSocket)
        return;
    // Shut down first so the peer sees the end of the stream after everything written.
    platform::shutdownSocket(socket_, platform::ShutdownMode::Both);
    platform::closeSocket(socket_);
    socket_ = platform::kNoSocket;
}

void ConnectionStream::stop()
{
    std::lock_guard lock(mutex_);
    stopped_ = true;
    if (socket_ != platform::kNoSocket)
        platform::shutdownSocket(socket_, writing_ ? platform::ShutdownMode::Both : platform::ShutdownMode::Receive);
}

void ConnectionStream::beginHead()
{
    phase_ = Phase::Head;
    firstHeadRead_ = true;
    headDeadline_ = std::chrono::steady_clock::now() + headLimit_;
}

void ConnectionStream::beginBody()
{
    phase_ = Phase::Body;
}

boost::system::error_code ConnectionStream::applyReceiveTimeout(std::chrono::milliseconds timeout)
{
    if (timeout == receiveTimeout_)
        return {};
    if (int error = platform::setReceiveTimeout(socket_, timeout))
        return boost::system::error_code(error, boost::system::system_category());
    receiveTimeout_ = timeout;
    return {};
}

std::size_t ConnectionStream::readInto(void* data, std::size_t size, boost::system::error_code& ec)
{
    using std::chrono::milliseconds;
    // Bytes may still arrive on a socket whose receiving was shut down: check the flag as well.
    if (stopped_) {
        ec = boost::asio::error::operation_aborted;
        return 0;
    }
    milliseconds timeout = bodyIdleLimit_;
    if (phase_ == Phase::Head) {
        // The first read of a head waits the whole limit; later reads of the same head wait only
        // what is left of it, so a head that trickles in still ends at its deadline.
        timeout = headLimit_;
        if (!firstHeadRead_) {
            timeout = std::chrono::duration_cast<milliseconds>(headDeadline_ - std::chrono::steady_clock::now());
            if (timeout < milliseconds(1)) {
                ec = boost::beast::error::timeout;
                return 0;
            }
        }
        firstHeadRead_ = false;
    }
    ec = applyReceiveTimeout(timeout);
    if (ec)
        return 0;

    const platform::ReceiveResult r = platform::receiveSome(socket_, data, size);
    switch (r.status) {
    case platform::ReceiveStatus::Data:
        ec = {};
        return r.bytes;
    case platform::ReceiveStatus::Closed:
        ec = boost::asio::error::eof;
        return 0;
    case platform::ReceiveStatus::TimedOut:
        ec = boost::beast::error::timeout;
        return 0;
    case platform::ReceiveStatus::Failed:
        break;
    }
    ec = boost::system::error_code(r.error, boost::system::system_category());
    return 0;
}

boost::system::error_code ConnectionStream::write(std::span<const std::string_view> pieces)
{
    bool wait;
    {
        std::lock_guard lock(mutex_);
        wait = !stopped_;
        writing_ = wait;
    }
    const int error = platform::sendAll(socket_, pieces, wait);
    if (wait) {
        std::lock_guard lock(mutex_);
        writing_ = false;
    }
    if (error)
        return boost::system::error_code(error, boost::system::system_category());
    return {};
}

} // namespace kx::http
