#include "http/HttpService.h"

#include "common/Errors.h"
#include "http/Connection.h"
#include "http/ConnectionLoop.h"
#include "http/Dispatcher.h"
#include "http/WorkerPool.h"
#include "platform/Socket.h"
#include "platform/SocketPoller.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>

#include <algorithm>
#include <array>
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
    asio::io_context listenerIoc; // only to own the listening socket
    std::unique_ptr<tcp::acceptor> acceptor;
    std::unique_ptr<platform::SocketPoller> listenerPoller;
    std::thread listenerThread;
    // Made at start, with the limits then set.
    std::unique_ptr<WorkerPool> answerWorkers;
    std::unique_ptr<WorkerPool> replyWriters;
    std::vector<std::unique_ptr<ConnectionLoop>> loops;
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    unsigned short port = 0;
    // Listener thread only.
    bool refusing = false;
    std::uint64_t lastConnectionId = 0;
    std::size_t nextLoop = 0;

    void runListener();
    void closeListener();
    bool acceptWaiting();
    bool startConnection(platform::SocketHandle handle);
    void noteRefusal(const std::string& reason);

    bool answersAtOnce(const HttpRequest& request) const override;
    Answer answer(HttpRequest& request) override;
    void runElsewhere(std::function<void()> job, Work kind) override;
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
    if (!ec) {
        if (const int error = platform::prepareListener(static_cast<platform::SocketHandle>(acceptor->native_handle())))
            ec = boost::system::error_code(error, boost::system::system_category());
    }
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

    try {
        impl_->listenerPoller = std::make_unique<platform::SocketPoller>();
    } catch (const std::exception& e) {
        impl_->acceptor.reset();
        throw KxError("EIdSocketError", std::string("Cannot serve connections: ") + e.what());
    }

    const unsigned loopCount = std::max(1u, impl_->limits.loopThreads);
    auto bodies = std::make_shared<BodyBudget>(impl_->limits.maxBodiesInFlightBytes);
    impl_->answerWorkers = std::make_unique<WorkerPool>(impl_->limits.maxAnswerWorkers);
    impl_->replyWriters = std::make_unique<WorkerPool>(impl_->limits.maxReplyWriters);
    try {
        for (unsigned i = 0; i < loopCount; ++i)
            impl_->loops.push_back(std::make_unique<ConnectionLoop>(*impl_, impl_->limits, bodies));
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
    d.listenerPoller->wake();
    if (d.listenerThread.joinable())
        d.listenerThread.join();
    d.closeListener(); // no thread runs the listener any more

    // The loops close the connections they hold and stop the ones lent to workers; the workers
    // finish the requests they run.
    for (auto& loop : d.loops)
        loop->stop();
    d.answerWorkers->join();
    d.replyWriters->join();
}

void HttpService::Impl::closeListener()
{
    boost::system::error_code ec;
    if (acceptor)
        acceptor->close(ec);
}

// The listener thread: waits until a connection is waiting on the listener, then takes it with the
// platform's own accept, so the connection's socket is a plain socket that the loops own, tied to
// nothing of the listener's. After accepting failed, the listener is not watched for a pause: the
// waiting connections stay in the listen queue meanwhile. No error may end the thread while the
// service runs: an error is reported, and accepting starts again after a pause.
void HttpService::Impl::runListener()
{
    const auto listener = static_cast<platform::SocketHandle>(acceptor->native_handle());
    std::array<platform::PollEvent, 1> events;
    bool watching = false;
    while (!stopping) {
        try {
            if (!watching) {
                if (const int error = listenerPoller->add(listener, 0))
                    throw boost::system::system_error(error, asio::error::get_system_category(), "watch");
                watching = true;
            }
            if (listenerPoller->wait(events, std::chrono::milliseconds(-1)) == 0 || stopping)
                continue;
            if (acceptWaiting())
                continue;
            listenerPoller->remove(listener);
            watching = false;
            listenerPoller->wait(events, kAcceptRetryPause); // only a wake (stop) ends the pause early
        } catch (const std::exception& e) {
            std::fprintf(stderr, "HTTP service: listener error: %s\n", e.what());
            if (!stopping)
                std::this_thread::sleep_for(kAcceptRetryPause);
        }
    }
    if (watching)
        listenerPoller->remove(listener);
}

// Takes the connections waiting on the listener. False when accepting failed (out of descriptors
// or memory, most likely) and should be tried again after a pause.
bool HttpService::Impl::acceptWaiting()
{
    const auto listener = static_cast<platform::SocketHandle>(acceptor->native_handle());
    while (!stopping) {
        int error = 0;
        const platform::SocketHandle handle = platform::acceptConnection(listener, error);
        if (handle == platform::kNoSocket) {
            const boost::system::error_code failure(error, asio::error::get_system_category());
            if (failure == asio::error::would_block || failure == asio::error::try_again)
                return true; // none waiting any more
            if (failure == asio::error::connection_aborted || failure == asio::error::connection_reset)
                continue; // the peer gave up before it was taken
            noteRefusal(failure.message());
            return false;
        }
        if (!startConnection(handle))
            return false;
        if (refusing) {
            refusing = false;
            std::fprintf(stderr, "HTTP service: accepting connections again\n");
        }
    }
    return true;
}

// Hands the accepted socket to a loop, in turn. False, with the socket closed, when the
// connection's bookkeeping cannot be had.
bool HttpService::Impl::startConnection(platform::SocketHandle handle)
{
    std::shared_ptr<Connection> conn;
    try {
        conn = std::make_shared<Connection>(handle, ++lastConnectionId, limits.replyStallSeconds * 1000);
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

void HttpService::Impl::runElsewhere(std::function<void()> job, Work kind)
{
    (kind == Work::Answer ? answerWorkers : replyWriters)->submit(std::move(job));
}

} // namespace kx::http
