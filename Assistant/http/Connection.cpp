#include "http/Connection.h"

#include "platform/PathText.h"

#include <algorithm>
#include <fstream>
#include <vector>

namespace kx::http {

Connection::Connection(platform::SocketHandle socket, std::uint64_t id, int writeStallMs)
    : id_(id), writeStallMs_(writeStallMs), socket_(socket)
{
    platform::prepareStreamSocket(socket_, kNextRequestWaitMs);
}

Connection::~Connection()
{
    close();
}

platform::ReceiveResult Connection::receive(void* data, std::size_t size)
{
    return platform::receiveSome(socket_, data, size);
}

platform::ReceiveResult Connection::receiveNextRequest(void* data, std::size_t size)
{
    // stop() shuts the socket down, which ends a wait in progress as well.
    if (stopped_)
        return {platform::ReceiveStatus::Closed, 0, 0};
    return platform::receiveWaiting(socket_, data, size);
}

platform::SendResult Connection::sendSome(std::span<const std::string_view> pieces)
{
    return platform::sendSome(socket_, pieces);
}

void Connection::close()
{
    std::lock_guard lock(mutex_);
    if (socket_ == platform::kNoSocket)
        return;
    // Shut down first so the peer sees the end of the stream after everything written.
    platform::shutdownSocket(socket_, platform::ShutdownMode::Both);
    platform::closeSocket(socket_);
    socket_ = platform::kNoSocket;
}

void Connection::stop()
{
    std::lock_guard lock(mutex_);
    stopped_ = true;
    if (socket_ != platform::kNoSocket)
        platform::shutdownSocket(socket_, writing_ ? platform::ShutdownMode::Both : platform::ShutdownMode::Receive);
}

boost::system::error_code Connection::write(std::span<const std::string_view> pieces)
{
    bool wait;
    {
        std::lock_guard lock(mutex_);
        wait = !stopped_;
        writing_ = wait;
    }
    const int error = platform::sendAll(socket_, pieces, wait, writeStallMs_);
    if (wait) {
        std::lock_guard lock(mutex_);
        writing_ = false;
    }
    if (error)
        return boost::system::error_code(error, boost::system::system_category());
    return {};
}

bool writeReply(Connection& conn, const ReplyHead& reply, std::size_t skip)
{
    std::string_view pieces[] = {reply.head, reply.body};
    for (auto& piece : pieces) {
        const std::size_t drop = std::min(skip, piece.size());
        piece.remove_prefix(drop);
        skip -= drop;
    }
    if (conn.write(pieces))
        return false;
    if (reply.streamed.produce)
        return writeStreamedBody(reply, [&conn](std::string_view piece) { return !conn.write({&piece, 1}); });
    if (reply.filePath.empty())
        return true;

    // Content-Length promised the file's size at the time of the head; a file that shrank since
    // then ends the connection.
    std::ifstream file(platform::pathFromUtf8(reply.filePath), std::ios::binary);
    std::vector<char> chunk(256 * 1024);
    unsigned long long remaining = reply.fileSize;
    while (remaining > 0 && file) {
        file.read(chunk.data(), static_cast<std::streamsize>(std::min<unsigned long long>(chunk.size(), remaining)));
        std::size_t got = static_cast<std::size_t>(file.gcount());
        if (got == 0)
            break;
        const std::string_view piece(chunk.data(), got);
        if (conn.write({&piece, 1}))
            return false;
        remaining -= got;
    }
    return remaining == 0;
}

} // namespace kx::http
