// The service on real loopback sockets, in process: limits, time limits and stopping.
#include "Heart.h"
#include "common/Errors.h"
#include "http/HttpService.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

using namespace kx;
using namespace kx::http;

namespace {

int connectTo(unsigned short port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Everything the peer sends until it closes or the time is up.
std::string readAll(int fd, int timeoutMs, bool* closed = nullptr)
{
    std::string data;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (closed)
        *closed = false;
    while (true) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0)
            return data;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, left) <= 0)
            return data;
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            if (closed)
                *closed = true;
            return data;
        }
        data.append(buf, static_cast<std::size_t>(n));
    }
}

class Slow : public PostComponent {
public:
    explicit Slow(std::atomic<int>& inside) : inside_(inside) {}
    std::string className() const override { return "TSlow"; }
    void OnPost(HttpRequest&, HttpResponse& r) override
    {
        ++inside_;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        r.setBody("slow");
        --inside_;
    }

private:
    std::atomic<int>& inside_;
};

} // namespace

TEST(HttpService, StartRefusesBadPortsAndTakenAddresses)
{
    for (const char* port : {"", "13x26", "-1", "65536", " 80"}) {
        HttpService s;
        EXPECT_THROW(s.start("127.0.0.1", port), KxError) << port;
    }
    HttpService bad;
    EXPECT_THROW(bad.start("300.1.1.1", "0"), KxError);

    HttpService first;
    first.start("127.0.0.1", "0");
    HttpService second;
    EXPECT_THROW(second.start("127.0.0.1", std::to_string(first.boundPort())), KxError);
}

TEST(HttpService, StalledHeadsAreClosedAfterTheTimeLimit)
{
    HttpService s;
    s.registerComponent("/heart", std::make_unique<THeart>());
    s.setLimits({1024, 1});
    s.start("127.0.0.1", "0");
    int fd = connectTo(s.boundPort());
    ASSERT_GE(fd, 0);
    ASSERT_GT(::send(fd, "GET /heart HTTP/1.1\r\n", 21, 0), 0);
    bool closed = false;
    std::string got = readAll(fd, 5000, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(got, "");
    ::close(fd);
}

TEST(HttpService, BodiesOverTheLimitGet413)
{
    HttpService s;
    s.registerComponent("/heart", std::make_unique<THeart>());
    s.setLimits({16, 60});
    s.start("127.0.0.1", "0");
    for (std::string request : {std::string("POST /heart HTTP/1.1\r\nContent-Length: 17\r\n\r\n") + std::string(17, 'a'),
                                std::string("POST /heart HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                                            "10\r\naaaaaaaaaaaaaaaa\r\n1\r\na\r\n0\r\n\r\n")}) {
        int fd = connectTo(s.boundPort());
        ::send(fd, request.data(), request.size(), 0);
        bool closed = false;
        std::string got = readAll(fd, 5000, &closed);
        EXPECT_TRUE(got.starts_with("HTTP/1.1 413 Request Entity Too Large\r\nConnection: close\r\n")) << got;
        EXPECT_TRUE(closed);
        ::close(fd);
    }
    // At the limit the request is served.
    int fd = connectTo(s.boundPort());
    std::string ok = "POST /heart HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                     "Content-Length: 16\r\nConnection: close\r\n\r\njsonp=abcdefghij";
    ::send(fd, ok.data(), ok.size(), 0);
    std::string got = readAll(fd, 5000);
    EXPECT_TRUE(got.ends_with("\r\n\r\nabcdefghij(0)")) << got;
    ::close(fd);
}

TEST(HttpService, StopWaitsForRunningRequestsAndClosesIdleConnections)
{
    std::atomic<int> inside{0};
    auto s = std::make_unique<HttpService>();
    s->registerComponent("/slow", std::make_unique<Slow>(inside));
    s->start("127.0.0.1", "0");
    const auto port = s->boundPort();

    std::vector<int> idle;
    for (int i = 0; i < 4; ++i)
        idle.push_back(connectTo(port));
    int busy = connectTo(port);
    ::send(busy, "POST /slow HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 43, 0);
    while (inside == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));

    s->stop();
    EXPECT_EQ(inside, 0); // the running request finished before stop returned
    EXPECT_FALSE(s->running());
    std::string reply = readAll(busy, 2000);
    EXPECT_TRUE(reply.starts_with("HTTP/1.1 200 OK\r\nConnection: close\r\n")) << reply;
    for (int fd : idle) {
        bool closed = false;
        readAll(fd, 2000, &closed);
        EXPECT_TRUE(closed);
        ::close(fd);
    }
    ::close(busy);
    EXPECT_LT(connectTo(port), 0);
    s->stop(); // a second stop does nothing
}

TEST(HttpService, ManyConnectionsComeAndGo)
{
    HttpService s;
    s.registerComponent("/heart", std::make_unique<THeart>());
    s.start("127.0.0.1", "0");
    std::vector<std::thread> clients;
    std::atomic<int> answered{0};
    for (int t = 0; t < 8; ++t)
        clients.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                int fd = connectTo(s.boundPort());
                std::string req = "GET /heart?jsonp=c" + std::to_string(t) + " HTTP/1.1\r\nConnection: close\r\n\r\n";
                ::send(fd, req.data(), req.size(), 0);
                if (readAll(fd, 5000).ends_with("c" + std::to_string(t) + "(0)"))
                    ++answered;
                ::close(fd);
            }
        });
    for (auto& c : clients)
        c.join();
    EXPECT_EQ(answered, 200);
}
