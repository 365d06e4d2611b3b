// Blocking loopback sockets on Windows: the receive time-out (a DWORD of milliseconds here), a
// shutdown from another thread ending a blocked receive, gathered and non-waiting sends.
#include "platform/Socket.h"

#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

using namespace kx;
using namespace std::chrono_literals;

namespace {

class SocketTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        WSADATA data{};
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    static void TearDownTestSuite() { WSACleanup(); }

    // A connected pair on 127.0.0.1: server_ (as the service accepts it) and client_.
    void SetUp() override
    {
        SOCKET listener = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
        ASSERT_NE(listener, INVALID_SOCKET);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(listen(listener, 1), 0);
        int length = sizeof address;
        ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
        client_ = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
        ASSERT_EQ(connect(client_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        server_ = accept(listener, nullptr, nullptr);
        closesocket(listener);
        ASSERT_NE(server_, INVALID_SOCKET);
        ASSERT_TRUE(platform::prepareStreamSocket(handle()));
    }
    void TearDown() override
    {
        if (server_ != INVALID_SOCKET)
            closesocket(server_);
        if (client_ != INVALID_SOCKET)
            closesocket(client_);
    }
    platform::SocketHandle handle() const { return static_cast<platform::SocketHandle>(server_); }

    SOCKET server_ = INVALID_SOCKET;
    SOCKET client_ = INVALID_SOCKET;
};

} // namespace

TEST_F(SocketTest, ReceiveGivesDataThenTimesOutThenSeesThePeerClose)
{
    ASSERT_EQ(platform::setReceiveTimeout(handle(), 200ms), 0);
    ASSERT_EQ(send(client_, "GET", 3, 0), 3);
    char buffer[16];
    platform::ReceiveResult r = platform::receiveSome(handle(), buffer, sizeof buffer);
    ASSERT_EQ(r.status, platform::ReceiveStatus::Data);
    EXPECT_EQ(std::string(buffer, r.bytes), "GET");

    // Nothing more arrives: the receive ends by itself with TimedOut, after the time-out.
    const auto start = std::chrono::steady_clock::now();
    r = platform::receiveSome(handle(), buffer, sizeof buffer);
    EXPECT_EQ(r.status, platform::ReceiveStatus::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
    // The socket serves on after a time-out.
    ASSERT_EQ(send(client_, "x", 1, 0), 1);
    r = platform::receiveSome(handle(), buffer, sizeof buffer);
    EXPECT_EQ(r.status, platform::ReceiveStatus::Data);

    closesocket(client_);
    client_ = INVALID_SOCKET;
    r = platform::receiveSome(handle(), buffer, sizeof buffer);
    EXPECT_EQ(r.status, platform::ReceiveStatus::Closed);
}

TEST_F(SocketTest, ZeroTimeoutStillEndsTheReceive)
{
    ASSERT_EQ(platform::setReceiveTimeout(handle(), 0ms), 0); // at least 1 ms, never "wait forever"
    char buffer[4];
    auto receive = std::async(std::launch::async, [&] { return platform::receiveSome(handle(), buffer, sizeof buffer); });
    ASSERT_EQ(receive.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(receive.get().status, platform::ReceiveStatus::TimedOut);
}

// The service stops a connection by shutting its socket down from another thread; the receive the
// connection's thread is blocked in must end (long before its time-out).
TEST_F(SocketTest, ShutdownFromAnotherThreadEndsABlockedReceive)
{
    for (platform::ShutdownMode mode : {platform::ShutdownMode::Receive, platform::ShutdownMode::Both}) {
        TearDown();
        SetUp();
        ASSERT_EQ(platform::setReceiveTimeout(handle(), 60s), 0);
        char buffer[4];
        auto receive =
            std::async(std::launch::async, [&] { return platform::receiveSome(handle(), buffer, sizeof buffer); });
        std::this_thread::sleep_for(300ms); // let it block
        platform::shutdownSocket(handle(), mode);
        ASSERT_EQ(receive.wait_for(20s), std::future_status::ready) << "the receive did not end";
        EXPECT_EQ(receive.get().status, platform::ReceiveStatus::Closed);
        // Receiving after the shutdown reports the end as well.
        EXPECT_EQ(platform::receiveSome(handle(), buffer, sizeof buffer).status, platform::ReceiveStatus::Closed);
    }
}

TEST_F(SocketTest, SendAllGathersEveryPieceInOrder)
{
    const std::string big(300000, 'b');
    const std::string_view pieces[] = {"HTTP/1.1 200 OK\r\n", "", "A: 1\r\n\r\n", "", big, "a", "b", "c", "d",
                                       "e", "f", "g", "h", "end"};
    std::string received;
    auto reader = std::async(std::launch::async, [&] {
        char buffer[65536];
        int n;
        while ((n = recv(client_, buffer, sizeof buffer, 0)) > 0)
            received.append(buffer, static_cast<std::size_t>(n));
    });
    EXPECT_EQ(platform::sendAll(handle(), pieces), 0);
    platform::shutdownSocket(handle(), platform::ShutdownMode::Both);
    ASSERT_EQ(reader.wait_for(20s), std::future_status::ready);
    std::string expected;
    for (std::string_view p : pieces)
        expected += p;
    EXPECT_EQ(received, expected);
}

// Without waiting, a send that the socket cannot take at once fails, and the socket is blocking
// again afterwards (a receive waits for its time-out instead of failing at once).
TEST_F(SocketTest, SendWithoutWaitingFailsWhenTheSocketIsFull)
{
    int small = 8192;
    setsockopt(server_, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), sizeof small);
    setsockopt(client_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof small);
    const std::string big(64 << 20, 'x');
    const std::string_view pieces[] = {big};
    const int error = platform::sendAll(handle(), pieces, false);
    EXPECT_EQ(error, WSAEWOULDBLOCK);

    ASSERT_EQ(platform::setReceiveTimeout(handle(), 300ms), 0);
    char buffer[4];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(platform::receiveSome(handle(), buffer, sizeof buffer).status, platform::ReceiveStatus::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
}

TEST_F(SocketTest, ErrorsCarryTheWinsockNumber)
{
    const platform::SocketHandle notASocket = 0x7FFFFFF0;
    EXPECT_EQ(platform::setReceiveTimeout(notASocket, 1s), WSAENOTSOCK);
    char buffer[4];
    const platform::ReceiveResult r = platform::receiveSome(notASocket, buffer, sizeof buffer);
    EXPECT_EQ(r.status, platform::ReceiveStatus::Failed);
    EXPECT_EQ(r.error, WSAENOTSOCK);
}
