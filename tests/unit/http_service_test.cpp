// The service on real loopback sockets, in process: limits, time limits and stopping.
#include "app/Heart.h"
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
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
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

// Everything the peer sends until it closes, the time is up, or what arrived satisfies `enough`.
std::string readAll(int fd, int timeoutMs, bool* closed = nullptr,
                    const std::function<bool(const std::string&)>& enough = nullptr)
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
        if (enough && enough(data))
            return data;
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

// A reply far larger than the socket buffers: its write blocks while the client does not read.
class Big : public PostComponent {
public:
    explicit Big(std::atomic<int>& calls) : calls_(calls) {}
    std::string className() const override { return "TBig"; }
    void OnPost(HttpRequest&, HttpResponse& r) override
    {
        r.setBody(std::string(32u << 20, 'x'));
        ++calls_;
    }

private:
    std::atomic<int>& calls_;
};

// Answers "held" once the test lets it go; until then its request waits, as a module call may.
class Held : public PostComponent {
public:
    std::string className() const override { return "THeld"; }
    void OnPost(HttpRequest&, HttpResponse& r) override
    {
        std::unique_lock lock(mutex);
        ++entered;
        changed.notify_all();
        changed.wait(lock, [this] { return released; });
        r.setBody("held");
    }
    void waitEntered(int count)
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return entered >= count; });
    }
    void release()
    {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    int entered = 0;
    bool released = false;
};

// The bodies of the replies in `data`, in order (replies with a Content-Length).
std::vector<std::string> replyBodies(const std::string& data)
{
    std::vector<std::string> bodies;
    std::size_t pos = 0;
    while (true) {
        const std::size_t headEnd = data.find("\r\n\r\n", pos);
        if (headEnd == std::string::npos)
            return bodies;
        const std::size_t length = data.find("Content-Length: ", pos);
        if (length == std::string::npos || length > headEnd)
            return bodies;
        const std::size_t size = std::stoul(data.substr(length + 16));
        bodies.push_back(data.substr(headEnd + 4, size));
        pos = headEnd + 4 + size;
    }
}

// The bodies of the next `count` replies on a kept-alive connection (fewer when the time is up).
std::vector<std::string> readReplies(int fd, std::size_t count, int timeoutMs = 5000)
{
    return replyBodies(readAll(fd, timeoutMs, nullptr, [count](const std::string& data) {
        return replyBodies(data).size() >= count;
    }));
}

int openDescriptors()
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

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

// Time limits, with the head limit and the body idle limit at 3 s: a head must be complete 3 s after
// the connection began to wait for it, however its bytes trickle in; a body may take as long as
// it needs while bytes keep arriving, and a body on which nothing arrives for 3 s ends the
// connection. A connection that is closed for time gets no reply.
TEST(HttpService, TimeLimitsOnHeadsAndBodies)
{
    struct Step {
        int delayMs;
        std::string bytes;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::string expected; // what the client receives, ending with the body; "" = nothing
    };
    // The start at once, then the rest one byte at a time.
    auto trickle = [](const std::string& start, const std::string& rest, int gapMs) {
        std::vector<Step> steps{{0, start}};
        for (char c : rest)
            steps.push_back({gapMs, std::string(1, c)});
        return steps;
    };
    const std::string form = "POST /heart HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n";
    std::vector<Case> cases = {
        {"head stalls", {{0, "GET /heart HTTP/1.1\r\n"}}, ""},
        {"head trickles past its deadline", trickle("GET /heart HTTP/1.1\r\n", "X-Slow: abcdefgh\r\n\r\n", 200), ""},
        {"body stalls", {{0, form + "Content-Length: 10\r\n\r\njsonp"}}, ""},
        {"chunked body stalls", {{0, form + "Transfer-Encoding: chunked\r\n\r\n8\r\njsonp"}}, ""},
        {"body trickles without a pause of 3 s",
         trickle(form + "Content-Length: 12\r\nConnection: close\r\n\r\n", "jsonp=abcdef", 300), "abcdef(0)"},
        // The first head takes three reads, the last one waiting only what was left of its 3 s;
        // the second head gets 3 s again, counted from the end of the first reply, while 3 s
        // since the connection began are long over when its second read begins.
        {"each kept-alive request has a deadline of its own",
         {{0, "GET /heart?jsonp=one HTTP/1.1\r\n"},
          {1500, "X-Slow: yes\r\n"},
          {100, "\r\n"},
          {2200, "GET /heart?jsonp=two HTTP/1.1\r\n"},
          {100, "Connection: close\r\n\r\n"}},
         "two(0)"},
        {"a connection back from a worker has a head deadline again",
         {{0, "GET /held HTTP/1.1\r\n\r\nGET /heart HTTP/1.1\r\n"}},
         "held"},
    };

    HttpService s;
    s.registerComponent("/heart", std::make_unique<THeart>());
    auto held = std::make_unique<Held>();
    held->released = true;
    s.registerComponent("/held", std::move(held));
    ServiceLimits limits;
    limits.headTimeoutSeconds = 3;
    limits.bodyIdleSeconds = 3;
    s.setLimits(limits);
    s.start("127.0.0.1", "0");

    // The cases run side by side, each on a connection of its own.
    std::vector<std::string> received(cases.size());
    std::vector<int> closed(cases.size()); // not vector<bool>: each client thread writes its own element
    std::vector<std::thread> clients;
    for (std::size_t i = 0; i < cases.size(); ++i)
        clients.emplace_back([&, i] {
            int fd = connectTo(s.boundPort());
            for (const Step& step : cases[i].steps) {
                std::this_thread::sleep_for(std::chrono::milliseconds(step.delayMs));
                ::send(fd, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL);
            }
            bool c = false;
            received[i] = readAll(fd, 10000, &c);
            closed[i] = c;
            ::close(fd);
        });
    for (auto& c : clients)
        c.join();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_TRUE(closed[i]);
        if (cases[i].expected.empty())
            EXPECT_EQ(received[i], "");
        else
            EXPECT_TRUE(received[i].ends_with("\r\n\r\n" + cases[i].expected)) << received[i];
    }
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

// Stopping lets a running request write its reply and ends every other connection at once:
// idle ones, one in the middle of a body, one whose reply the client does not read.
TEST(HttpService, StopWaitsForRunningRequestsAndClosesIdleConnections)
{
    std::atomic<int> inside{0};
    std::atomic<int> bigCalls{0};
    auto s = std::make_unique<HttpService>();
    s->registerComponent("/slow", std::make_unique<Slow>(inside));
    s->registerComponent("/big", std::make_unique<Big>(bigCalls));
    s->start("127.0.0.1", "0");
    const auto port = s->boundPort();

    std::vector<int> idle;
    for (int i = 0; i < 4; ++i)
        idle.push_back(connectTo(port));
    const std::string partBody = "POST /slow HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc";
    idle.push_back(connectTo(port));
    ::send(idle.back(), partBody.data(), partBody.size(), 0);
    const std::string big = "POST /big HTTP/1.1\r\nContent-Length: 0\r\n\r\n";
    idle.push_back(connectTo(port));
    ::send(idle.back(), big.data(), big.size(), 0);
    while (bigCalls == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
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

// Clients that ask for large replies and never read them: with two answer workers and two reply
// writers, four such clients still get their answers made (the writers hold the replies), and a
// heartbeat and a call that needs a worker are answered while the writers wait (for up to the
// default 60 s: a worker a writer held would answer far too late here).
TEST(HttpService, ClientsThatNeverReadHoldOnlyWriters)
{
    std::atomic<int> inside{0};
    std::atomic<int> bigCalls{0};
    HttpService s;
    s.registerComponent("/heart", std::make_unique<THeart>());
    s.registerComponent("/slow", std::make_unique<Slow>(inside));
    s.registerComponent("/big", std::make_unique<Big>(bigCalls));
    ServiceLimits limits;
    limits.maxAnswerWorkers = 2;
    limits.maxReplyWriters = 2;
    s.setLimits(limits);
    s.start("127.0.0.1", "0");

    std::vector<int> stuck;
    const std::string big = "POST /big HTTP/1.1\r\nContent-Length: 0\r\n\r\n";
    for (int i = 0; i < 4; ++i) {
        stuck.push_back(connectTo(s.boundPort()));
        ::send(stuck.back(), big.data(), big.size(), 0);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (bigCalls < 4 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(bigCalls, 4) << "answer workers were held by replies nobody reads";

    int heart = connectTo(s.boundPort());
    const std::string heartRequest = "GET /heart?jsonp=h HTTP/1.1\r\n\r\n";
    ::send(heart, heartRequest.data(), heartRequest.size(), 0);
    EXPECT_EQ(readReplies(heart, 1, 20000), std::vector<std::string>{"h(0)"});
    int call = connectTo(s.boundPort());
    const std::string callRequest = "POST /slow HTTP/1.1\r\nContent-Length: 0\r\n\r\n";
    ::send(call, callRequest.data(), callRequest.size(), 0);
    EXPECT_EQ(readReplies(call, 1, 20000), std::vector<std::string>{"slow"});
    s.stop(); // ends the writes that wait
    for (int fd : stuck)
        ::close(fd);
    ::close(heart);
    ::close(call);
}

// A reply the client takes nothing of for the stall limit (2 s here) is given up: the client then
// reads what the socket buffers held and the end of the stream, far short of the reply.
TEST(HttpService, AReplyNobodyReadsIsGivenUpAfterTheStallLimit)
{
    std::atomic<int> bigCalls{0};
    HttpService s;
    s.registerComponent("/big", std::make_unique<Big>(bigCalls));
    ServiceLimits limits;
    limits.replyStallSeconds = 2;
    s.setLimits(limits);
    s.start("127.0.0.1", "0");
    int fd = connectTo(s.boundPort());
    const std::string big = "POST /big HTTP/1.1\r\nContent-Length: 0\r\n\r\n";
    ::send(fd, big.data(), big.size(), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (bigCalls < 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(bigCalls, 1);
    // The service's end of the connection goes when the writer gives up (however long making the
    // reply took): one descriptor fewer in this process.
    const int withConnection = openDescriptors();
    while (openDescriptors() >= withConnection && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_LT(openDescriptors(), withConnection) << "the reply nobody reads was never given up";
    bool closed = false;
    const std::string got = readAll(fd, 10000, &closed);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(got.starts_with("HTTP/1.1 200 OK\r\n"));
    EXPECT_LT(got.size(), std::size_t(32u << 20));
    ::close(fd);
}

// Bodies held at once are bounded across connections (1 MiB here): a body whose declared length
// does not fit in what is left gets 503 with Retry-After before any of it is read, a chunked body
// as soon as what arrived passes it; once the first body has been answered, its share is free.
TEST(HttpService, BodiesBeyondTheSharedBudgetGet503BeforeTheyAreRead)
{
    HttpService s;
    s.registerComponent("/heart", std::make_unique<THeart>());
    ServiceLimits limits;
    limits.maxBodiesInFlightBytes = 1u << 20;
    limits.busyRetryAfterSeconds = 7;
    s.setLimits(limits);
    s.start("127.0.0.1", "0");
    auto form = [](std::size_t length) {
        return "POST /heart HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
               std::to_string(length) + "\r\n\r\n";
    };
    const std::string busy = "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\n";

    // 800 KiB declared and half sent: its share is held while the rest is awaited.
    const std::size_t firstLength = 800u * 1024;
    const std::string firstBody = "jsonp=first&pad=" + std::string(firstLength - 16, 'p');
    int first = connectTo(s.boundPort());
    const std::string firstHead = form(firstLength) + firstBody.substr(0, firstLength / 2);
    ::send(first, firstHead.data(), firstHead.size(), MSG_NOSIGNAL);
    EXPECT_EQ(readAll(first, 300), ""); // still reading

    const struct {
        const char* name;
        std::string request;
    } refused[] = {
        {"declared length beyond what is left", form(400u * 1024)},
        // Only 230 KiB of a 256 KiB chunk are sent: the service has read all of it when it refuses,
        // so its reply is not lost to a reset.
        {"chunked body growing beyond what is left",
         "POST /heart HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n40000\r\n" + std::string(230u * 1024, 'c')},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.name);
        int fd = connectTo(s.boundPort());
        std::thread sender([&] { ::send(fd, c.request.data(), c.request.size(), MSG_NOSIGNAL); });
        bool closed = false;
        const std::string got = readAll(fd, 5000, &closed);
        sender.join();
        EXPECT_TRUE(got.starts_with(busy)) << got.substr(0, 200);
        EXPECT_NE(got.find("\r\nRetry-After: 7\r\n"), std::string::npos) << got.substr(0, 200);
        EXPECT_TRUE(closed);
        ::close(fd);
    }

    const std::string rest = firstBody.substr(firstLength / 2);
    ::send(first, rest.data(), rest.size(), MSG_NOSIGNAL);
    EXPECT_EQ(readReplies(first, 1), std::vector<std::string>{"first(0)"});

    // The first request is answered: a new request on its connection releases its share, and a
    // body of the size refused before is served.
    const std::string heart = "GET /heart?jsonp=h HTTP/1.1\r\n\r\n";
    ::send(first, heart.data(), heart.size(), MSG_NOSIGNAL);
    EXPECT_EQ(readReplies(first, 1), std::vector<std::string>{"h(0)"});
    int again = connectTo(s.boundPort());
    const std::string againBody = "jsonp=again&pad=" + std::string(400u * 1024 - 16, 'a');
    const std::string againRequest = form(againBody.size()) + againBody;
    std::thread sender([&] { ::send(again, againRequest.data(), againRequest.size(), MSG_NOSIGNAL); });
    EXPECT_EQ(readReplies(again, 1), std::vector<std::string>{"again(0)"});
    sender.join();
    ::close(first);
    ::close(again);
}

// Over two connection loops, which take the connections in turn.
TEST(HttpService, ManyConnectionsComeAndGo)
{
    HttpService s;
    s.registerComponent("/heart", std::make_unique<THeart>());
    ServiceLimits limits;
    limits.loopThreads = 2;
    s.setLimits(limits);
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

// With a single connection loop: while a request waits on a worker, the loop serves every other
// connection (a short request, one with "Expect: 100-continue", one with a body too large to be
// decoded on the loop), and the waiting connection gets its reply and then the answers to the
// requests it pipelined behind it, in order, and stays open.
TEST(HttpService, ARequestThatWaitsHoldsUpNoOtherConnection)
{
    HttpService s;
    s.registerComponent("/heart", std::make_unique<THeart>());
    auto heldOwner = std::make_unique<Held>();
    Held& held = *heldOwner;
    s.registerComponent("/held", std::move(heldOwner));
    ServiceLimits limits;
    limits.loopThreads = 1;
    s.setLimits(limits);
    s.start("127.0.0.1", "0");

    int waiting = connectTo(s.boundPort());
    const std::string pipelined = "GET /held HTTP/1.1\r\n\r\nGET /heart?jsonp=p1 HTTP/1.1\r\n\r\n"
                                  "GET /heart?jsonp=p2 HTTP/1.1\r\n\r\n";
    ::send(waiting, pipelined.data(), pipelined.size(), 0);
    held.waitEntered(1);

    int shortOne = connectTo(s.boundPort());
    const std::string shortRequest = "GET /heart?jsonp=short HTTP/1.1\r\n\r\n";
    ::send(shortOne, shortRequest.data(), shortRequest.size(), 0);
    EXPECT_EQ(readReplies(shortOne, 1), std::vector<std::string>{"short(0)"});

    int continued = connectTo(s.boundPort());
    const std::string continuedHead = "POST /heart HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                      "Expect: 100-continue\r\nContent-Length: 10\r\n\r\n";
    ::send(continued, continuedHead.data(), continuedHead.size(), 0);
    EXPECT_EQ(readAll(continued, 5000, nullptr, [](const std::string& d) { return d.ends_with("\r\n\r\n"); }),
              "HTTP/1.1 100 Continue\r\n\r\n");
    ::send(continued, "jsonp=cont", 10, 0);
    EXPECT_EQ(readReplies(continued, 1), std::vector<std::string>{"cont(0)"});

    int large = connectTo(s.boundPort());
    const std::string largeBody = "jsonp=big&filler=" + std::string(200 * 1024, 'f');
    const std::string largeRequest = "POST /heart HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                     "Content-Length: " + std::to_string(largeBody.size()) + "\r\n\r\n" + largeBody;
    std::thread sender([&] { ::send(large, largeRequest.data(), largeRequest.size(), MSG_NOSIGNAL); });
    EXPECT_EQ(readReplies(large, 1), std::vector<std::string>{"big(0)"});
    sender.join();

    EXPECT_EQ(readAll(waiting, 200), ""); // still waiting
    held.release();
    EXPECT_EQ(readReplies(waiting, 3), (std::vector<std::string>{"held", "p1(0)", "p2(0)"}));
    ::send(waiting, shortRequest.data(), shortRequest.size(), 0);
    EXPECT_EQ(readReplies(waiting, 1), std::vector<std::string>{"short(0)"});
    for (int fd : {waiting, shortOne, continued, large})
        ::close(fd);
}

// Each connection holds its socket and nothing else, whether its requests were answered on the
// loop or on a worker; a connection the peer closes gives its socket back.
TEST(HttpService, AConnectionHoldsOneDescriptor)
{
    HttpService s;
    s.registerComponent("/heart", std::make_unique<THeart>());
    auto heldOwner = std::make_unique<Held>();
    heldOwner->released = true;
    s.registerComponent("/held", std::move(heldOwner));
    s.start("127.0.0.1", "0");
    const int before = openDescriptors();

    constexpr int kConnections = 40;
    std::vector<int> clients;
    for (int i = 0; i < kConnections; ++i) {
        clients.push_back(connectTo(s.boundPort()));
        const std::string request = i % 2 ? "GET /held HTTP/1.1\r\n\r\n" : "GET /heart HTTP/1.1\r\n\r\n";
        ::send(clients.back(), request.data(), request.size(), 0);
        ASSERT_EQ(readReplies(clients.back(), 1).size(), 1u);
    }
    EXPECT_EQ(openDescriptors() - before, 2 * kConnections); // both ends of each connection

    for (int fd : clients)
        ::close(fd);
    int left = openDescriptors() - before;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         left != 0 && std::chrono::steady_clock::now() < deadline; left = openDescriptors() - before)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(left, 0);
}

namespace {

// Answers with its "v" parameter, on a worker (as a module call is).
class Echo : public PostComponent {
public:
    std::string className() const override { return "TEcho"; }
    void OnPost(HttpRequest& request, HttpResponse& r) override { r.setBody(request.param("v")); }
};

void sendText(int fd, const std::string& text)
{
    ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

} // namespace

// The next request on a connection a worker has just answered comes however the client sends it:
// at once, in pieces, with a body, pipelined, broken, or as one the loop answers by itself.
TEST(HttpService, RequestsAfterAWorkersAnswerArriveAnyWay)
{
    HttpService s;
    s.registerComponent("/heart", std::make_unique<THeart>());
    s.registerComponent("/echo", std::make_unique<Echo>());
    ServiceLimits limits;
    limits.loopThreads = 1;
    s.setLimits(limits);
    s.start("127.0.0.1", "0");
    int fd = connectTo(s.boundPort());
    ASSERT_GE(fd, 0);

    sendText(fd, "GET /echo?v=1 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(readReplies(fd, 1), std::vector<std::string>{"1"});
    for (int i = 2; i <= 20; ++i) { // one after another, each sent as soon as the last reply came
        sendText(fd, "GET /echo?v=" + std::to_string(i) + " HTTP/1.1\r\n\r\n");
        EXPECT_EQ(readReplies(fd, 1), std::vector<std::string>{std::to_string(i)});
    }
    // A head in pieces: the first piece arrives while the worker still watches the connection.
    sendText(fd, "GET /echo?v=pieces HT");
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    sendText(fd, "TP/1.1\r\nHost: 127.0.0.1\r");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    sendText(fd, "\n\r\n");
    EXPECT_EQ(readReplies(fd, 1), std::vector<std::string>{"pieces"});
    // A request with a body, and one the loop answers by itself.
    sendText(fd, "POST /echo HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: 6\r\n\r\nv=body");
    EXPECT_EQ(readReplies(fd, 1), std::vector<std::string>{"body"});
    sendText(fd, "GET /heart?jsonp=h HTTP/1.1\r\n\r\n");
    EXPECT_EQ(readReplies(fd, 1), std::vector<std::string>{"h(0)"});
    // Two at once, after a worker's answer.
    sendText(fd, "GET /echo?v=x HTTP/1.1\r\n\r\n");
    EXPECT_EQ(readReplies(fd, 1), std::vector<std::string>{"x"});
    sendText(fd, "GET /echo?v=p1 HTTP/1.1\r\n\r\nGET /echo?v=p2 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(readReplies(fd, 2), (std::vector<std::string>{"p1", "p2"}));
    // A broken request gets its answer and the connection ends.
    sendText(fd, "GARBAGE\r\n\r\n");
    bool closed = false;
    const std::string last = readAll(fd, 5000, &closed);
    EXPECT_TRUE(last.starts_with("HTTP/1.1 400")) << last;
    EXPECT_TRUE(closed);
    ::close(fd);
}

// A large body answered on a worker holds its share of the body budget only until its answer:
// when the worker takes the connection's next request itself, the share goes back as it does
// when the loop starts on the next request.
TEST(HttpService, AWorkersNextRequestGivesTheBodyBudgetBack)
{
    HttpService s;
    s.registerComponent("/echo", std::make_unique<Echo>());
    ServiceLimits limits;
    limits.maxBodiesInFlightBytes = 1u << 20;
    s.setLimits(limits);
    s.start("127.0.0.1", "0");
    const std::string body = "v=big&pad=" + std::string(700u * 1024, 'p');
    const std::string bigRequest = "POST /echo HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                   "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    int fd = connectTo(s.boundPort());
    ASSERT_GE(fd, 0);
    // Each round: a large body, then a small request sent as soon as the answer came (mostly
    // taken by the worker), then a large body on another connection, which fits only when the
    // first one's share went back.
    for (int round = 0; round < 10; ++round) {
        std::thread sender([&] { sendText(fd, bigRequest); });
        EXPECT_EQ(readReplies(fd, 1), std::vector<std::string>{"big"}) << round;
        sender.join();
        sendText(fd, "GET /echo?v=small HTTP/1.1\r\n\r\n");
        EXPECT_EQ(readReplies(fd, 1), std::vector<std::string>{"small"}) << round;
        int other = connectTo(s.boundPort());
        std::thread otherSender([&] { sendText(other, bigRequest); });
        EXPECT_EQ(readReplies(other, 1), std::vector<std::string>{"big"}) << round;
        otherSender.join();
        ::close(other);
    }
    ::close(fd);
}
