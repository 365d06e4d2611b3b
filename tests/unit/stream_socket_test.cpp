// Connection sockets on Linux as the loop and its workers use them: the socket itself may block, so
// every receive and send that must not wait has to say so, while the receive that waits for a
// client's next request waits at most its time and ends at a shutdown from another thread.
#include "platform/Socket.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

using namespace kx;
using namespace std::chrono_literals;

namespace {

class StreamSocket : public ::testing::Test {
protected:
    // A connected pair on 127.0.0.1; server_ is readied with the given receive wait.
    void connectPair(int receiveWaitMs)
    {
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(listener, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(listener, 1), 0);
        socklen_t length = sizeof address;
        ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
        client_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::connect(client_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        server_ = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ::close(listener);
        ASSERT_GE(server_, 0);
        ASSERT_TRUE(platform::prepareStreamSocket(server_, receiveWaitMs));
    }
    void TearDown() override
    {
        if (server_ >= 0)
            ::close(server_);
        if (client_ >= 0)
            ::close(client_);
        server_ = client_ = -1;
    }

    int server_ = -1;
    int client_ = -1;
};

} // namespace

TEST_F(StreamSocket, ANonPositiveReceiveWaitIsRefused)
{
    // A receive time-out of 0 would mean "wait for ever".
    connectPair(1);
    EXPECT_FALSE(platform::prepareStreamSocket(server_, 0));
    EXPECT_FALSE(platform::prepareStreamSocket(server_, -5));
}

// Bytes come from the peer a moment after the test starts: a receive that waited would get them
// instead of would-block, and a send that waited on the full socket would never return.
TEST_F(StreamSocket, OnlyTheWaitingReceiveWaits)
{
    connectPair(60000);
    std::thread late([this] {
        std::this_thread::sleep_for(200ms);
        ASSERT_EQ(::send(client_, "GET", 3, 0), 3);
    });
    char buffer[16];
    EXPECT_EQ(platform::receiveSome(server_, buffer, sizeof buffer).status, platform::ReceiveStatus::WouldBlock);

    int small = 8192;
    ::setsockopt(server_, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(client_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const std::string chunk(1 << 16, 'f');
    const std::string_view pieces[] = {chunk};
    platform::SendResult r;
    for (int i = 0; i < 10000 && (r = platform::sendSome(server_, pieces)).bytes > 0; ++i) {
    }
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(platform::sendAll(server_, pieces, false), EAGAIN);

    // The waiting receive takes the bytes when they come.
    const platform::ReceiveResult got = platform::receiveWaiting(server_, buffer, sizeof buffer);
    late.join();
    ASSERT_EQ(got.status, platform::ReceiveStatus::Data);
    EXPECT_EQ(std::string(buffer, got.bytes), "GET");
}

TEST_F(StreamSocket, TheWaitingReceiveEnds)
{
    char buffer[16];
    // Nothing comes within its wait.
    connectPair(20);
    EXPECT_EQ(platform::receiveWaiting(server_, buffer, sizeof buffer).status, platform::ReceiveStatus::WouldBlock);

    // The peer goes.
    TearDown();
    connectPair(60000);
    ::close(client_);
    client_ = -1;
    EXPECT_EQ(platform::receiveWaiting(server_, buffer, sizeof buffer).status, platform::ReceiveStatus::Closed);

    // Another thread shuts the socket down while it waits (the service stopping).
    for (platform::ShutdownMode mode : {platform::ShutdownMode::Receive, platform::ShutdownMode::Both}) {
        TearDown();
        connectPair(60000);
        std::thread stopper([this, mode] {
            std::this_thread::sleep_for(50ms);
            platform::shutdownSocket(server_, mode);
        });
        EXPECT_EQ(platform::receiveWaiting(server_, buffer, sizeof buffer).status, platform::ReceiveStatus::Closed);
        stopper.join();
    }
}
