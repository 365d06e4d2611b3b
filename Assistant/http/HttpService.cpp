#include "http/HttpService.h"

#include "common/Errors.h"
#include "http/Dispatcher.h"
#include "http/ParameterDecoder.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <charconv>
#include <chrono>
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

std::string upper(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

// One accepted connection, served on its own thread. Socket operations run as asynchronous
// operations on the connection's own io_context so that a time limit can end a stalled read and
// stop() can close the socket from another thread.
struct Connection {
    asio::io_context ioc;
    beast::tcp_stream stream;
    std::thread thread;
    std::atomic<bool> done{false};

    explicit Connection(tcp::socket&& accepted)
        : stream(tcp::socket(ioc))
    {
        boost::system::error_code ec;
        auto protocol = accepted.local_endpoint(ec).protocol();
        stream.socket().assign(protocol, accepted.release(), ec);
        stream.socket().set_option(tcp::no_delay(true), ec);
    }

    template <typename Initiate>
    boost::system::error_code run(Initiate&& initiate)
    {
        boost::system::error_code result;
        ioc.restart();
        initiate([&result](boost::system::error_code ec, std::size_t) { result = ec; });
        ioc.run();
        return result;
    }

    // Safe to call from any thread: the close runs on the connection's io_context.
    void close()
    {
        // A raw pointer: the connection outlives its thread, and a close that is still queued
        // when the thread has ended is dropped with the io_context.
        asio::post(ioc, [this] {
            boost::system::error_code ec;
            stream.socket().shutdown(tcp::socket::shutdown_both, ec);
            stream.socket().close(ec);
        });
    }
};

struct HttpService::Impl {
    Dispatcher dispatcher;
    ServiceLimits limits;
    asio::io_context listenerIoc;
    std::unique_ptr<tcp::acceptor> acceptor;
    std::thread listenerThread;
    std::mutex mutex;
    std::list<std::shared_ptr<Connection>> connections;
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    unsigned short port = 0;

    void accept();
    void reapFinished();
    void serve(const std::shared_ptr<Connection>& conn);
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

    impl_->dispatcher.initAll();
    impl_->running = true;
    impl_->accept();
    impl_->listenerThread = std::thread([impl = impl_.get()] { impl->listenerIoc.run(); });
}

void HttpService::stop()
{
    Impl& d = *impl_;
    if (!d.running.exchange(false))
        return;
    d.stopping = true;
    asio::post(d.listenerIoc, [&d] {
        boost::system::error_code ec;
        d.acceptor->close(ec);
    });
    if (d.listenerThread.joinable())
        d.listenerThread.join();

    std::list<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard lock(d.mutex);
        connections.swap(d.connections);
    }
    for (auto& conn : connections)
        conn->close();
    for (auto& conn : connections)
        if (conn->thread.joinable())
            conn->thread.join();
}

void HttpService::Impl::accept()
{
    acceptor->async_accept([this](boost::system::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor->is_open())
            return;
        if (!ec && !stopping) {
            reapFinished();
            auto conn = std::make_shared<Connection>(std::move(socket));
            std::lock_guard lock(mutex);
            connections.push_back(conn);
            conn->thread = std::thread([this, conn] { serve(conn); });
        }
        accept();
    });
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

bool HttpService::Impl::writeReply(Connection& conn, const ReplyHead& reply)
{
    std::array<asio::const_buffer, 2> buffers{asio::buffer(reply.head), asio::buffer(reply.body)};
    if (conn.run([&](auto handler) { asio::async_write(conn.stream, buffers, handler); }))
        return false;
    if (reply.streamed.produce) {
        return writeStreamedBody(reply, [&conn](std::string_view piece) {
            return !conn.run([&](auto handler) { asio::async_write(conn.stream, asio::buffer(piece.data(), piece.size()), handler); });
        });
    }
    if (reply.filePath.empty())
        return true;

    // The file is sent in pieces, never held in memory as a whole. Content-Length promised its
    // size at the time of the head; a file that shrank since then ends the connection.
    std::ifstream file(reply.filePath, std::ios::binary);
    std::vector<char> chunk(256 * 1024);
    unsigned long long remaining = reply.fileSize;
    while (remaining > 0 && file) {
        file.read(chunk.data(), static_cast<std::streamsize>(std::min<unsigned long long>(chunk.size(), remaining)));
        std::size_t got = static_cast<std::size_t>(file.gcount());
        if (got == 0)
            break;
        if (conn.run([&](auto handler) { asio::async_write(conn.stream, asio::buffer(chunk.data(), got), handler); }))
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

void HttpService::Impl::serve(const std::shared_ptr<Connection>& conn)
{
    beast::flat_buffer buffer;
    while (!stopping) {
        bhttp::request_parser<bhttp::string_body> parser;
        parser.header_limit(8u * 1024 * 1024); // query strings may carry whole documents
        parser.body_limit(limits.maxBodyBytes);

        conn->stream.expires_after(std::chrono::seconds(limits.headTimeoutSeconds));
        auto ec = conn->run([&](auto handler) { bhttp::async_read_header(conn->stream, buffer, parser, handler); });
        if (!ec && !parser.is_done()) {
            const auto& head = parser.get();
            if (auto expect = head.find(bhttp::field::expect);
                expect != head.end() && iequals(view(expect->value()), "100-continue")) {
                static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
                conn->stream.expires_never();
                ec = conn->run([&](auto handler) { asio::async_write(conn->stream, asio::buffer(kContinue), handler); });
            }
            if (!ec) {
                conn->stream.expires_never();
                ec = conn->run([&](auto handler) { bhttp::async_read(conn->stream, buffer, parser, handler); });
            }
        }
        conn->stream.expires_never();
        if (ec) {
            // A request that the parser refused gets an answer; a connection that simply ended
            // or timed out is closed without one.
            const bool parseError = ec.category() == bhttp::make_error_code(bhttp::error::bad_method).category() &&
                                    ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message;
            if (ec == bhttp::error::body_limit)
                writeError(*conn, 413);
            else if (parseError)
                writeError(*conn, 400);
            break;
        }

        auto message = parser.release();
        HttpRequest request;
        request.method = upper(view(message.method_string()));
        request.target = std::string(message.target());
        request.versionMajor = message.version() / 10;
        request.versionMinor = message.version() % 10;
        for (const auto& field : message)
            request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
        request.body = std::move(message.body());
        const auto q = request.target.find('?');
        request.path = decodePath(std::string_view(request.target).substr(0, q));
        if (q != std::string::npos)
            request.query = request.target.substr(q + 1);
        const std::string contentType = request.header("Content-Type");
        request.params = decodeParameters(parameterText(contentType, request.body, request.query),
                                          charsetOf(contentType));

        const std::string connectionHeader = request.header("Connection");
        bool keepAlive = message.version() >= 11 ? !hasToken(connectionHeader, "close")
                                                 : hasToken(connectionHeader, "keep-alive");
        HttpResponse response;
        bool closeAfter = false;
        dispatcher.dispatch(request, response, closeAfter);
        if (closeAfter || stopping)
            keepAlive = false;
        if (!writeReply(*conn, buildReply(response, request.method, keepAlive, std::time(nullptr))) || !keepAlive)
            break;
    }
    boost::system::error_code ec;
    conn->stream.socket().shutdown(tcp::socket::shutdown_both, ec);
    conn->stream.socket().close(ec);
    conn->done = true;
}

} // namespace kx::http
