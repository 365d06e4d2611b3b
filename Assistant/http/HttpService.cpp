#include "http/HttpService.h"

#include "common/Errors.h"
#include "http/ConnectionStream.h"
#include "http/Dispatcher.h"
#include "http/WireRequest.h"
#include "platform/PathText.h"
#include "platform/Socket.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <list>
#include <mutex>
#include <thread>

namespace kx::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {

bool iequals(std::string_view a, std::string_view b)
{
    return beast::iequals(beast::string_view(a.data(), a.size()), beast::string_view(b.data(), b.size()));
}

std::string_view view(beast::string_view s)
{
    return {s.data(), s.size()};
}

// True when the comma-separated header value holds the token (compared without case).
bool hasToken(std::string_view value, std::string_view token)
{
    std::size_t pos = 0;
    while (pos <= value.size()) {
        std::size_t comma = value.find(',', pos);
        std::string_view part = value.substr(pos, comma == std::string_view::npos ? comma : comma - pos);
        while (!part.empty() && (part.front() == ' ' || part.front() == '\t'))
            part.remove_prefix(1);
        while (!part.empty() && (part.back() == ' ' || part.back() == '\t'))
            part.remove_suffix(1);
        if (iequals(part, token))
            return true;
        if (comma == std::string_view::npos)
            break;
        pos = comma + 1;
    }
    return false;
}

} // namespace

// One accepted connection, served on its own thread.
struct Connection {
    Connection(platform::SocketHandle socket, const ServiceLimits& limits)
        : stream(socket, std::chrono::seconds(limits.headTimeoutSeconds), std::chrono::seconds(limits.bodyIdleSeconds))
    {
    }

    ConnectionStream stream;
    std::thread thread;
    std::atomic<bool> done{false};
};

// How long the listener waits before it accepts again after accepting failed (no descriptor or
// memory left): the waiting connections stay in the listen queue meanwhile.
constexpr std::chrono::milliseconds kAcceptRetryPause{100};

struct HttpService::Impl {
    Dispatcher dispatcher;
    ServiceLimits limits;
    asio::io_context listenerIoc;
    std::unique_ptr<tcp::acceptor> acceptor;
    std::unique_ptr<asio::steady_timer> retryTimer;
    std::thread listenerThread;
    std::mutex mutex;
    std::list<std::shared_ptr<Connection>> connections;
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    unsigned short port = 0;
    // Listener thread only.
    bool acceptPending = false;
    bool retryPending = false;
    bool refusing = false;

    void runListener();
    void closeListener();
    void accept();
    void acceptLater();
    void onAccepted(const boost::system::error_code& ec, tcp::socket socket);
    bool startConnection(tcp::socket& socket);
    void noteRefusal(const std::string& reason);
    void reapFinished();
    void serve(Connection& conn);
    bool writeReply(Connection& conn, const ReplyHead& reply);
    void writeError(Connection& conn, int status);
};

HttpService::HttpService() : impl_(std::make_unique<Impl>()) {}

HttpService::~HttpService()
{
    stop();
}

void HttpService::registerComponent(const std::string& path, std::unique_ptr<WebComponent> component)
{
    impl_->dispatcher.add(path, std::move(component));
}

void HttpService::setLimits(const ServiceLimits& limits)
{
    impl_->limits = limits;
}

void HttpService::setCallerGate(std::shared_ptr<CallerGate> gate)
{
    impl_->dispatcher.setGate(std::move(gate));
}

bool HttpService::running() const
{
    return impl_->running;
}

unsigned short HttpService::boundPort() const
{
    return impl_->port;
}

void HttpService::start(const std::string& address, const std::string& port)
{
    unsigned portNumber = 0;
    auto [end, err] = std::from_chars(port.data(), port.data() + port.size(), portNumber);
    if (port.empty() || err != std::errc() || end != port.data() + port.size() || portNumber > 65535)
        throw KxError("EConvertError", "'" + port + "' is not a valid integer value");

    boost::system::error_code ec;
    const bool v6 = address.find(':') != std::string::npos;
    asio::ip::address ip = v6 ? asio::ip::address(asio::ip::make_address_v6(address, ec))
                              : asio::ip::address(asio::ip::make_address_v4(address, ec));
    if (ec)
        throw KxError("EIdSocketError", "Invalid address " + address + ": " + ec.message());

    auto acceptor = std::make_unique<tcp::acceptor>(impl_->listenerIoc);
    tcp::endpoint endpoint(ip, static_cast<unsigned short>(portNumber));
    acceptor->open(endpoint.protocol(), ec);
    if (!ec)
        acceptor->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec && v6)
        acceptor->set_option(asio::ip::v6_only(true), ec);
    if (!ec)
        acceptor->bind(endpoint, ec);
    if (!ec)
        acceptor->listen(15, ec);
    if (ec)
        throw KxError("EIdCouldNotBindSocket", "Could not bind socket. " + ec.message());
    impl_->port = acceptor->local_endpoint(ec).port();
    impl_->acceptor = std::move(acceptor);

    impl_->retryTimer = std::make_unique<asio::steady_timer>(impl_->listenerIoc);

    impl_->dispatcher.initAll();
    impl_->running = true;
    impl_->listenerThread = std::thread([impl = impl_.get()] { impl->runListener(); });
}

void HttpService::stop()
{
    Impl& d = *impl_;
    if (!d.running.exchange(false))
        return;
    d.stopping = true;
    asio::post(d.listenerIoc, [&d] { d.closeListener(); });
    if (d.listenerThread.joinable())
        d.listenerThread.join();
    d.closeListener(); // no thread runs the listener any more

    std::list<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard lock(d.mutex);
        connections.swap(d.connections);
    }
    for (auto& conn : connections)
        conn->stream.stop();
    for (auto& conn : connections)
        if (conn->thread.joinable())
            conn->thread.join();
}

void HttpService::Impl::closeListener()
{
    boost::system::error_code ec;
    if (acceptor)
        acceptor->close(ec);
    if (retryTimer)
        retryTimer->cancel();
}

// The listener thread. No error may end it while the service runs: an error raised in a handler
// is reported, and accepting starts again after a pause.
void HttpService::Impl::runListener()
{
    while (true) {
        try {
            if (!acceptPending && !retryPending)
                accept();
            listenerIoc.run();
            return;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "HTTP service: listener error: %s\n", e.what());
        }
        if (stopping)
            return;
        std::this_thread::sleep_for(kAcceptRetryPause);
    }
}

void HttpService::Impl::accept()
{
    acceptor->async_accept([this](boost::system::error_code ec, tcp::socket socket) {
        onAccepted(ec, std::move(socket));
    });
    acceptPending = true;
}

void HttpService::Impl::acceptLater()
{
    retryTimer->expires_after(kAcceptRetryPause);
    retryTimer->async_wait([this](boost::system::error_code ec) {
        retryPending = false;
        if (ec == asio::error::operation_aborted || stopping || !acceptor->is_open())
            return;
        accept();
    });
    retryPending = true;
}

void HttpService::Impl::onAccepted(const boost::system::error_code& ec, tcp::socket socket)
{
    acceptPending = false;
    if (ec == asio::error::operation_aborted || stopping || !acceptor->is_open())
        return;
    if (ec == asio::error::connection_aborted) {
        accept(); // the peer gave up before it was accepted
        return;
    }
    if (ec) {
        // Out of descriptors or memory, most likely: the connection stays queued until some
        // connection ends.
        noteRefusal(ec.message());
        acceptLater();
        return;
    }
    if (!startConnection(socket)) {
        acceptLater();
        return;
    }
    if (refusing) {
        refusing = false;
        std::fprintf(stderr, "HTTP service: accepting connections again\n");
    }
    accept();
}

// Serves the accepted socket on a thread of its own. False, with the socket closed, when the
// thread or its bookkeeping cannot be had.
bool HttpService::Impl::startConnection(tcp::socket& socket)
{
    reapFinished();
    boost::system::error_code ec;
    const platform::SocketHandle handle = socket.release(ec);
    if (ec) {
        noteRefusal(ec.message());
        return false;
    }
    try {
        std::shared_ptr<Connection> conn;
        try {
            conn = std::make_shared<Connection>(handle, limits);
        } catch (...) {
            platform::closeSocket(handle);
            throw;
        }
        std::lock_guard lock(mutex);
        connections.push_back(conn);
        try {
            conn->thread = std::thread([this, raw = conn.get()] { serve(*raw); });
        } catch (...) {
            connections.pop_back();
            throw;
        }
        return true;
    } catch (const std::exception& e) {
        noteRefusal(e.what());
        return false;
    }
}

void HttpService::Impl::noteRefusal(const std::string& reason)
{
    if (refusing)
        return;
    refusing = true;
    std::fprintf(stderr, "HTTP service: cannot take a connection (%s); trying again every %lld ms\n",
                 reason.c_str(), static_cast<long long>(kAcceptRetryPause.count()));
}

void HttpService::Impl::reapFinished()
{
    std::list<std::shared_ptr<Connection>> finished;
    {
        std::lock_guard lock(mutex);
        for (auto it = connections.begin(); it != connections.end();) {
            if ((*it)->done) {
                finished.push_back(*it);
                it = connections.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& conn : finished)
        if (conn->thread.joinable())
            conn->thread.join();
}

// Writes one reply: head and text body together in one write, then a streamed body or the file's
// bytes in pieces (never held in memory as a whole).
bool HttpService::Impl::writeReply(Connection& conn, const ReplyHead& reply)
{
    const std::string_view pieces[] = {reply.head, reply.body};
    if (conn.stream.write(pieces))
        return false;
    if (reply.streamed.produce) {
        return writeStreamedBody(reply, [&conn](std::string_view piece) { return !conn.stream.write({&piece, 1}); });
    }
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
        if (conn.stream.write({&piece, 1}))
            return false;
        remaining -= got;
    }
    return remaining == 0;
}

void HttpService::Impl::writeError(Connection& conn, int status)
{
    HttpResponse response;
    response.status = status;
    writeReply(conn, buildReply(response, "GET", false, std::time(nullptr)));
}

void HttpService::Impl::serve(Connection& conn)
{
    beast::flat_buffer buffer;
    while (!stopping) {
        bhttp::request_parser<bhttp::string_body> parser;
        parser.header_limit(8u * 1024 * 1024); // query strings may carry whole documents
        parser.body_limit(limits.maxBodyBytes);

        boost::system::error_code ec;
        conn.stream.beginHead();
        bhttp::read_header(conn.stream, buffer, parser, ec);
        if (!ec && !parser.is_done()) {
            const auto& head = parser.get();
            if (auto expect = head.find(bhttp::field::expect);
                expect != head.end() && iequals(view(expect->value()), "100-continue")) {
                static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
                ec = conn.stream.write({&kContinue, 1});
            }
            if (!ec) {
                conn.stream.beginBody();
                bhttp::read(conn.stream, buffer, parser, ec);
            }
        }
        if (ec) {
            // A request that the parser refused gets an answer; a connection that simply ended
            // or timed out is closed without one.
            const bool parseError = ec.category() == bhttp::make_error_code(bhttp::error::bad_method).category() &&
                                    ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message;
            if (ec == bhttp::error::body_limit)
                writeError(conn, 413);
            else if (parseError)
                writeError(conn, 400);
            break;
        }

        auto message = parser.release();
        HttpRequest request = requestFromWire(std::move(message));

        const std::string connectionHeader = request.header("Connection");
        bool keepAlive = request.versionMajor * 10 + request.versionMinor >= 11 ? !hasToken(connectionHeader, "close")
                                                 : hasToken(connectionHeader, "keep-alive");
        HttpResponse response;
        bool closeAfter = false;
        dispatcher.dispatch(request, response, closeAfter);
        if (closeAfter || stopping)
            keepAlive = false;
        if (!writeReply(conn, buildReply(response, request.method, keepAlive, std::time(nullptr))) || !keepAlive)
            break;
    }
    conn.stream.close();
    conn.done = true;
}

} // namespace kx::http
