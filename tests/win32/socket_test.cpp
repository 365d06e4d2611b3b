// Non-blocking loopback sockets on Windows: receives that never wait, gathered sends that take what
// fits, a send that waits for room and ends when another thread shuts the socket down, and
// accepting without waiting.
#include "platform/Socket.h"

#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <atomic>
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
        ASSERT_TRUE(platform::prepareStreamSocket(handle(), 60000));
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

// Fills the socket until it takes nothing more (the peer reads nothing meanwhile).
std::size_t fillUp(platform::SocketHandle socket)
{
    const std::string chunk(1 << 16, 'f');
    const std::string_view pieces[] = {chunk};
    std::size_t total = 0;
    for (int i = 0; i < 100000; ++i) {
        const platform::SendResult r = platform::sendSome(socket, pieces);
        EXPECT_EQ(r.error, 0);
        if (r.bytes == 0)
            return total;
        total += r.bytes;
    }
    ADD_FAILURE() << "the socket never filled up";
    return total;
}

void shrinkBuffers(SOCKET sender, SOCKET receiver)
{
    int small = 8192;
    setsockopt(sender, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), sizeof small);
    setsockopt(receiver, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof small);
}

} // namespace

TEST_F(SocketTest, ReceiveNeverWaitsAndSeesThePeerClose)
{
    char buffer[16];
    // Nothing has arrived: the receive returns at once.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(platform::receiveSome(handle(), buffer, sizeof buffer).status, platform::ReceiveStatus::WouldBlock);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

    ASSERT_EQ(send(client_, "GET", 3, 0), 3);
    platform::ReceiveResult r;
    for (int i = 0; i < 200 && (r = platform::receiveSome(handle(), buffer, sizeof buffer)).status ==
                                   platform::ReceiveStatus::WouldBlock;
         ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(r.status, platform::ReceiveStatus::Data);
    EXPECT_EQ(std::string(buffer, r.bytes), "GET");

    closesocket(client_);
    client_ = INVALID_SOCKET;
    for (int i = 0; i < 200 && (r = platform::receiveSome(handle(), buffer, sizeof buffer)).status ==
                                   platform::ReceiveStatus::WouldBlock;
         ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(r.status, platform::ReceiveStatus::Closed);
}

TEST_F(SocketTest, ReceiveAfterAShutdownReportsTheEnd)
{
    for (platform::ShutdownMode mode : {platform::ShutdownMode::Receive, platform::ShutdownMode::Both}) {
        TearDown();
        SetUp();
        platform::shutdownSocket(handle(), mode);
        char buffer[4];
        EXPECT_EQ(platform::receiveSome(handle(), buffer, sizeof buffer).status, platform::ReceiveStatus::Closed);
    }
}

// The receive that waits for a client's next request: it takes bytes that arrive while it waits,
// ends when the peer goes or another thread shuts the socket down (the service stopping), and
// gives would-block once its wait (the receive time-out given when the socket was readied) passes.
// The fixture's wait is a minute, so a wait that did not end would hold the test that long.
TEST_F(SocketTest, TheWaitingReceiveTakesWhatComesAndEnds)
{
    char buffer[16];
    std::thread late([this] {
        std::this_thread::sleep_for(50ms);
        ASSERT_EQ(send(client_, "GET", 3, 0), 3);
    });
    platform::ReceiveResult r = platform::receiveWaiting(handle(), buffer, sizeof buffer);
    late.join();
    ASSERT_EQ(r.status, platform::ReceiveStatus::Data);
    EXPECT_EQ(std::string(buffer, r.bytes), "GET");

    std::thread stopper([this] {
        std::this_thread::sleep_for(50ms);
        platform::shutdownSocket(handle(), platform::ShutdownMode::Both);
    });
    EXPECT_EQ(platform::receiveWaiting(handle(), buffer, sizeof buffer).status, platform::ReceiveStatus::Closed);
    stopper.join();

    TearDown();
    SetUp();
    closesocket(client_);
    client_ = INVALID_SOCKET;
    EXPECT_EQ(platform::receiveWaiting(handle(), buffer, sizeof buffer).status, platform::ReceiveStatus::Closed);

    TearDown();
    SetUp();
    ASSERT_TRUE(platform::prepareStreamSocket(handle(), 20));
    EXPECT_EQ(platform::receiveWaiting(handle(), buffer, sizeof buffer).status, platform::ReceiveStatus::WouldBlock);
    EXPECT_FALSE(platform::prepareStreamSocket(handle(), 0));
}

TEST_F(SocketTest, SendAllGathersEveryPieceInOrder)
{
    shrinkBuffers(server_, client_); // the send has to wait for the reader many times
    const std::string big(300000, 'b');
    const std::string_view pieces[] = {"HTTP/1.1 200 OK\r\n", "", "A: 1\r\n\r\n", "", big, "a", "b", "c", "d",
                                       "e", "f", "g", "h", "end"};
    std::string received;
    auto reader = std::async(std::launch::async, [&] {
        char buffer[4096];
        int n;
        while ((n = recv(client_, buffer, sizeof buffer, 0)) > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
            std::this_thread::sleep_for(1ms);
        }
    });
    EXPECT_EQ(platform::sendAll(handle(), pieces), 0);
    platform::shutdownSocket(handle(), platform::ShutdownMode::Both);
    ASSERT_EQ(reader.wait_for(20s), std::future_status::ready);
    std::string expected;
    for (std::string_view p : pieces)
        expected += p;
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
}

// sendSome takes what fits, in order, and reports a full socket as no error; the bytes it reports
// are exactly the ones the peer receives.
TEST_F(SocketTest, SendSomeTakesWhatFitsInOrder)
{
    shrinkBuffers(server_, client_);
    std::string big(8 << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    const std::string_view pieces[] = {"head:", "", big};
    const platform::SendResult first = platform::sendSome(handle(), pieces);
    EXPECT_EQ(first.error, 0);
    EXPECT_GT(first.bytes, 5u);
    EXPECT_LT(first.bytes, 5 + big.size());

    std::string received;
    char buffer[65536];
    u_long on = 1;
    ioctlsocket(client_, FIONBIO, &on);
    for (int idle = 0; idle < 50 && received.size() < first.bytes;) {
        const int n = recv(client_, buffer, sizeof buffer, 0);
        if (n > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
            idle = 0;
        } else {
            ++idle;
            std::this_thread::sleep_for(10ms);
        }
    }
    ASSERT_EQ(received.size(), first.bytes);
    EXPECT_EQ(received.substr(0, 5), "head:");
    EXPECT_TRUE(received.substr(5) == std::string_view(big).substr(0, first.bytes - 5));
}

// Without waiting, a send that the socket cannot take at once fails with would-block.
TEST_F(SocketTest, SendWithoutWaitingFailsWhenTheSocketIsFull)
{
    shrinkBuffers(server_, client_);
    const std::string big(64 << 20, 'x');
    const std::string_view pieces[] = {big};
    EXPECT_EQ(platform::sendAll(handle(), pieces, false), WSAEWOULDBLOCK);
}

// The service stops a connection that is writing by shutting its socket down from another thread;
// the send that waits for room must end (with an error) instead of waiting for the peer.
TEST_F(SocketTest, ShutdownFromAnotherThreadEndsASendThatWaits)
{
    shrinkBuffers(server_, client_);
    fillUp(handle());
    const std::string more(1 << 20, 'm');
    const std::string_view pieces[] = {more};
    auto sending = std::async(std::launch::async, [&] { return platform::sendAll(handle(), pieces); });
    ASSERT_EQ(sending.wait_for(300ms), std::future_status::timeout) << "the send did not wait for room";
    platform::shutdownSocket(handle(), platform::ShutdownMode::Both);
    ASSERT_EQ(sending.wait_for(20s), std::future_status::ready) << "the send did not end";
    EXPECT_NE(sending.get(), 0);
}

TEST_F(SocketTest, APeerThatGoesAwayEndsASendThatWaits)
{
    shrinkBuffers(server_, client_);
    fillUp(handle());
    const std::string more(1 << 20, 'm');
    const std::string_view pieces[] = {more};
    auto sending = std::async(std::launch::async, [&] { return platform::sendAll(handle(), pieces); });
    ASSERT_EQ(sending.wait_for(300ms), std::future_status::timeout);
    // Closing with unread bytes resets the connection.
    closesocket(client_);
    client_ = INVALID_SOCKET;
    ASSERT_EQ(sending.wait_for(20s), std::future_status::ready) << "the send did not end";
    EXPECT_NE(sending.get(), 0);
}

TEST_F(SocketTest, ASendThatCanSendNothingForItsStallLimitEnds)
{
    shrinkBuffers(server_, client_);
    fillUp(handle());
    const std::string more(1 << 20, 'm');
    const std::string_view pieces[] = {more};
    auto sending = std::async(std::launch::async, [&] { return platform::sendAll(handle(), pieces, true, 500); });
    ASSERT_EQ(sending.wait_for(20s), std::future_status::ready) << "the send did not give up";
    EXPECT_EQ(sending.get(), WSAETIMEDOUT);
}

// A port the service listens on is its own: another socket cannot bind it, even one that asks
// to share addresses (SO_REUSEADDR), and the service cannot bind a port another socket holds.
TEST_F(SocketTest, AListenerHoldsItsPortExclusively)
{
    auto listener = [](u_short port, bool reuse, bool prepared, int* error) {
        SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
        BOOL on = TRUE;
        if (reuse)
            setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
        if (prepared) {
            EXPECT_EQ(platform::prepareListener(static_cast<platform::SocketHandle>(s)), 0);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 1) != 0) {
            *error = WSAGetLastError();
            closesocket(s);
            return INVALID_SOCKET;
        }
        *error = 0;
        return s;
    };
    auto portOf = [](SOCKET s) {
        sockaddr_in address{};
        int length = sizeof address;
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    };
    int error = 0;
    SOCKET ours = listener(0, false, true, &error);
    ASSERT_NE(ours, INVALID_SOCKET) << error;
    SOCKET intruder = listener(portOf(ours), true, false, &error);
    EXPECT_EQ(intruder, INVALID_SOCKET);
    EXPECT_TRUE(error == WSAEADDRINUSE || error == WSAEACCES) << error;
    if (intruder != INVALID_SOCKET)
        closesocket(intruder);

    SOCKET theirs = listener(0, true, false, &error);
    ASSERT_NE(theirs, INVALID_SOCKET) << error;
    SOCKET second = listener(portOf(theirs), false, true, &error);
    EXPECT_EQ(second, INVALID_SOCKET);
    EXPECT_TRUE(error == WSAEADDRINUSE || error == WSAEACCES) << error;
    if (second != INVALID_SOCKET)
        closesocket(second);
    closesocket(theirs);
    closesocket(ours);
}

TEST_F(SocketTest, AcceptNeverWaitsAndGivesAConnectedSocket)
{
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(listener, INVALID_SOCKET);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    int length = sizeof address;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    u_long on = 1;
    ASSERT_EQ(ioctlsocket(listener, FIONBIO, &on), 0);
    const auto listenerHandle = static_cast<platform::SocketHandle>(listener);

    int error = 0;
    EXPECT_EQ(platform::acceptConnection(listenerHandle, error), platform::kNoSocket);
    EXPECT_EQ(error, WSAEWOULDBLOCK);

    SOCKET peer = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    platform::SocketHandle accepted = platform::kNoSocket;
    for (int i = 0; i < 200 && (accepted = platform::acceptConnection(listenerHandle, error)) == platform::kNoSocket;
         ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_NE(accepted, platform::kNoSocket) << error;
    EXPECT_EQ(error, 0);
    ASSERT_TRUE(platform::prepareStreamSocket(accepted, 2));
    const std::string_view hello[] = {"hello"};
    EXPECT_EQ(platform::sendAll(accepted, hello), 0);
    char buffer[8];
    EXPECT_EQ(recv(peer, buffer, sizeof buffer, 0), 5);
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(accepted), &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
    platform::closeSocket(accepted);
    closesocket(peer);
    closesocket(listener);
}

TEST_F(SocketTest, ErrorsCarryTheWinsockNumber)
{
    const platform::SocketHandle notASocket = 0x7FFFFFF0;
    char buffer[4];
    const platform::ReceiveResult r = platform::receiveSome(notASocket, buffer, sizeof buffer);
    EXPECT_EQ(r.status, platform::ReceiveStatus::Failed);
    EXPECT_EQ(r.error, WSAENOTSOCK);
    const std::string_view pieces[] = {"x"};
    EXPECT_EQ(platform::sendSome(notASocket, pieces).error, WSAENOTSOCK);
    EXPECT_EQ(platform::sendAll(notASocket, pieces), WSAENOTSOCK);
    int error = 0;
    EXPECT_EQ(platform::acceptConnection(notASocket, error), platform::kNoSocket);
    EXPECT_EQ(error, WSAENOTSOCK);
}
