#include "http/HttpService.h"

#include "common/Errors.h"
#include "http/Connection.h"
#include "http/ConnectionLoop.h"
#include "http/Dispatcher.h"
#include "http/WorkerPool.h"
#include "platform/Socket.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

namespace kx::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;

namespace {

bool iequals(std::string_view a, std::string_view b)
{
    return beast::iequals(beast::string_view(a.data(), a.size()), beast::string_view(b.data(), b.size()));
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

// How long the listener waits before it accepts again after accepting failed (no descriptor or
// memory left): the waiting connections stay in the listen queue meanwhile.
constexpr std::chrono::milliseconds kAcceptRetryPause{100};

struct HttpService::Impl final : RequestAnswerer {
    Dispatcher dispatcher;
    ServiceLimits limits;
    asio::io_context listenerIoc;
    std::unique_ptr<tcp::acceptor> acceptor;
    std::unique_ptr<asio::steady_timer> retryTimer;
    std::thread listenerThread;
    WorkerPool workers;
    std::vector<std::unique_ptr<ConnectionLoop>> loops;
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    unsigned short port = 0;
    // Listener thread only.
    bool acceptPending = false;
    bool retryPending = false;
    bool refusing = false;
    std::uint64_t lastConnectionId = 0;
    std::size_t nextLoop = 0;

    void runListener();
    void closeListener();
    void accept();
    void acceptLater();
    void onReadable(const boost::system::error_code& ec);
    bool startConnection(platform::SocketHandle handle);
    void noteRefusal(const std::string& reason);

    bool answersAtOnce(const HttpRequest& request) const override;
    Answer answer(HttpRequest& request) override;
    void runElsewhere(std::function<void()> job) override;
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
    if (!ec)
        acceptor->non_blocking(true, ec); // a connection gone before it is taken must not block
    if (ec)
        throw KxError("EIdCouldNotBindSocket", "Could not bind socket. " + ec.message());
    impl_->port = acceptor->local_endpoint(ec).port();
    impl_->acceptor = std::move(acceptor);

    impl_->retryTimer = std::make_unique<asio::steady_timer>(impl_->listenerIoc);

    const unsigned loopCount = std::max(1u, impl_->limits.loopThreads);
    try {
        for (unsigned i = 0; i < loopCount; ++i)
            impl_->loops.push_back(std::make_unique<ConnectionLoop>(*impl_, impl_->limits));
    } catch (const std::exception& e) {
        impl_->loops.clear();
        impl_->acceptor.reset();
        throw KxError("EIdSocketError", std::string("Cannot serve connections: ") + e.what());
    }
    for (auto& loop : impl_->loops)
        loop->start();

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

    // The loops close the connections they hold and stop the ones lent to workers; the workers
    // finish the requests they run.
    for (auto& loop : d.loops)
        loop->stop();
    d.workers.join();
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

// Waits until a connection is waiting on the listener, then takes it with the platform's own
// accept: the connection's socket is then a plain socket that the loops own, tied to nothing of the
// listener's.
void HttpService::Impl::accept()
{
    acceptor->async_wait(tcp::acceptor::wait_read, [this](boost::system::error_code ec) { onReadable(ec); });
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

void HttpService::Impl::onReadable(const boost::system::error_code& ec)
{
    acceptPending = false;
    if (ec == asio::error::operation_aborted || stopping || !acceptor->is_open())
        return;
    int error = 0;
    const platform::SocketHandle handle = ec ? platform::kNoSocket
                                             : platform::acceptConnection(acceptor->native_handle(), error);
    if (handle == platform::kNoSocket) {
        const boost::system::error_code failure = ec ? ec : boost::system::error_code(error, asio::error::get_system_category());
        if (failure == asio::error::would_block || failure == asio::error::try_again ||
            failure == asio::error::connection_aborted) {
            accept(); // nothing waiting after all, or the peer gave up before it was taken
            return;
        }
        // Out of descriptors or memory, most likely: the connection stays queued until some
        // connection ends.
        noteRefusal(failure.message());
        acceptLater();
        return;
    }
    if (!startConnection(handle)) {
        acceptLater();
        return;
    }
    if (refusing) {
        refusing = false;
        std::fprintf(stderr, "HTTP service: accepting connections again\n");
    }
    accept();
}

// Hands the accepted socket to a loop, in turn. False, with the socket closed, when the
// connection's bookkeeping cannot be had.
bool HttpService::Impl::startConnection(platform::SocketHandle handle)
{
    std::shared_ptr<Connection> conn;
    try {
        conn = std::make_shared<Connection>(handle, ++lastConnectionId);
    } catch (const std::exception& e) {
        platform::closeSocket(handle);
        noteRefusal(e.what());
        return false;
    }
    ConnectionLoop& loop = *loops[nextLoop++ % loops.size()];
    if (!loop.adopt(conn))
        conn->close(); // the service stops
    return true;
}

void HttpService::Impl::noteRefusal(const std::string& reason)
{
    if (refusing)
        return;
    refusing = true;
    std::fprintf(stderr, "HTTP service: cannot take a connection (%s); trying again every %lld ms\n",
                 reason.c_str(), static_cast<long long>(kAcceptRetryPause.count()));
}

bool HttpService::Impl::answersAtOnce(const HttpRequest& request) const
{
    return dispatcher.answersAtOnce(request);
}

Answer HttpService::Impl::answer(HttpRequest& request)
{
    const std::string connectionHeader = request.header("Connection");
    bool keepAlive = request.versionMajor * 10 + request.versionMinor >= 11 ? !hasToken(connectionHeader, "close")
                                                                             : hasToken(connectionHeader, "keep-alive");
    HttpResponse response;
    bool closeAfter = false;
    dispatcher.dispatch(request, response, closeAfter);
    if (closeAfter || stopping)
        keepAlive = false;
    return {buildReply(response, request.method, keepAlive, std::time(nullptr)), keepAlive};
}

void HttpService::Impl::runElsewhere(std::function<void()> job)
{
    workers.submit(std::move(job));
}

} // namespace kx::http
