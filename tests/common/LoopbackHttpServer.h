#pragma once
// A small HTTP server on 127.0.0.1 for tests: it stands in for the update server and the
// companion service. Each request is recorded and answered by a handler (each connection on a
// thread of its own, so requests can overlap); every reply closes its connection. The server picks a free port (or takes a given one) and stops in its destructor.
#include <utility>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <cctype>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kx::test {

struct RecordedRequest {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    std::string header(const std::string& name) const
    {
        for (const auto& [n, v] : headers) {
            if (n.size() != name.size())
                continue;
            bool same = true;
            for (std::size_t i = 0; i < n.size() && same; ++i)
                same = std::tolower(static_cast<unsigned char>(n[i])) ==
                       std::tolower(static_cast<unsigned char>(name[i]));
            if (same)
                return v;
        }
        return "";
    }
    bool hasHeader(const std::string& name) const
    {
        for (const auto& [n, v] : headers)
            if (n.size() == name.size() && std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) {
                    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
                }))
                return true;
        return false;
    }
};

struct CannedReply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // Above zero: the head goes at once, then the body one byte per pause (a server that
    // trickles), until the client goes away.
    std::chrono::milliseconds trickle{0};
};

class LoopbackHttpServer {
public:
    using Handler = std::function<CannedReply(const RecordedRequest&)>;

    // port 0: a free port chosen by the system. Throws when the port cannot be bound.
    explicit LoopbackHttpServer(Handler handler, unsigned short port = 0)
        : handler_(std::move(handler)), acceptor_(ioc_)
    {
        namespace asio = boost::asio;
        const asio::ip::tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
        acceptor_.open(endpoint.protocol());
        acceptor_.set_option(asio::socket_base::reuse_address(true));
        acceptor_.bind(endpoint);
        acceptor_.listen();
        port_ = acceptor_.local_endpoint().port();
        accept();
        thread_ = std::thread([this] { ioc_.run(); });
    }

    ~LoopbackHttpServer()
    {
        ioc_.stop();
        thread_.join();
        for (std::thread& t : workers_)
            t.join();
    }

    unsigned short port() const { return port_; }
    std::string url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::vector<RecordedRequest> requests() const
    {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    void setHandler(Handler handler)
    {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }

private:
    void accept()
    {
        acceptor_.async_accept([this](boost::system::error_code ec, boost::asio::ip::tcp::socket socket) {
            if (!ec) {
                auto s = std::make_shared<boost::asio::ip::tcp::socket>(std::move(socket));
                workers_.emplace_back([this, s] { serve(std::move(*s)); });
            }
            if (acceptor_.is_open())
                accept();
        });
    }

    void serve(boost::asio::ip::tcp::socket socket)
    {
#if defined(_WIN32)
        // Wine does not always end a blocked send when the client goes away in the middle of a
        // large reply (a client that gave up on purpose): a send that moves nothing for 5 s fails,
        // so the worker ends and the destructor can join it.
        const DWORD sendTimeoutMs = 5000;
        ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeoutMs),
                     sizeof sendTimeoutMs);
#endif
        namespace http = boost::beast::http;
        boost::beast::flat_buffer buffer;
        http::request_parser<http::string_body> parser;
        parser.body_limit(64 * 1024 * 1024);
        boost::system::error_code ec;
        http::read(socket, buffer, parser, ec);
        if (ec)
            return;
        const auto& req = parser.get();
        RecordedRequest r;
        r.method = std::string(req.method_string());
        r.target = std::string(req.target());
        for (const auto& field : req)
            r.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
        r.body = req.body();
        Handler handler;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(r);
            handler = handler_;
        }
        const CannedReply canned = handler ? handler(r) : CannedReply{};
        http::response<http::string_body> res{static_cast<http::status>(canned.status), 11};
        for (const auto& [n, v] : canned.headers)
            res.set(n, v);
        res.set(http::field::connection, "close");
        res.body() = canned.body;
        res.prepare_payload();
        if (canned.trickle.count() > 0) {
            std::ostringstream text;
            text << res;
            const std::string all = text.str();
            std::size_t sent = all.size() - canned.body.size();
            boost::asio::write(socket, boost::asio::buffer(all.data(), sent), ec);
            for (; sent < all.size() && !ec; ++sent) {
                std::this_thread::sleep_for(canned.trickle);
                boost::asio::write(socket, boost::asio::buffer(all.data() + sent, 1), ec);
            }
        } else {
            http::write(socket, res, ec);
        }
        socket.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec);
    }

    Handler handler_;
    boost::asio::io_context ioc_;
    boost::asio::ip::tcp::acceptor acceptor_;
    unsigned short port_ = 0;
    std::thread thread_;
    std::vector<std::thread> workers_; // touched by the accepting thread only, joined after it ended
    mutable std::mutex mutex_;
    std::vector<RecordedRequest> requests_;
};

// A server on 127.0.0.1 that accepts connections and never answers (a hung update server). It
// keeps every connection open until it is destroyed.
class SilentLoopbackServer {
public:
    SilentLoopbackServer() : acceptor_(ioc_, {boost::asio::ip::make_address("127.0.0.1"), 0})
    {
        accept();
        thread_ = std::thread([this] { ioc_.run(); });
    }
    ~SilentLoopbackServer()
    {
        ioc_.stop();
        thread_.join();
    }
    std::string url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port()) + path;
    }
    std::size_t accepted() const { return accepted_.load(); }

private:
    void accept()
    {
        acceptor_.async_accept([this](boost::system::error_code ec, boost::asio::ip::tcp::socket socket) {
            if (!ec) {
                held_.push_back(std::move(socket)); // only this server's thread touches held_
                ++accepted_;
            }
            accept();
        });
    }

    boost::asio::io_context ioc_;
    boost::asio::ip::tcp::acceptor acceptor_;
    std::vector<boost::asio::ip::tcp::socket> held_;
    std::atomic<std::size_t> accepted_{0};
    std::thread thread_;
};

// A port on 127.0.0.1 on which nothing listens (bound, then released).
inline unsigned short closedLoopbackPort()
{
    namespace asio = boost::asio;
    asio::io_context ioc;
    asio::ip::tcp::acceptor a(ioc, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    return a.local_endpoint().port();
}

} // namespace kx::test
