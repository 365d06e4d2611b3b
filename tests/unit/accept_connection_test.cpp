// Taking connections off a listening socket without waiting: nothing waiting is would-block, a
// waiting connection comes as a socket that child processes do not inherit and that serves once
// prepared for the loop.
#include "platform/Socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

using namespace kx;
using namespace std::chrono_literals;

TEST(AcceptConnection, NothingWaitingThenAConnectionThenAFailure)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);

    int error = 0;
    EXPECT_EQ(platform::acceptConnection(listener, error), platform::kNoSocket);
    EXPECT_TRUE(error == EAGAIN || error == EWOULDBLOCK) << error;

    const int peer = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    platform::SocketHandle accepted = platform::kNoSocket;
    for (int i = 0; i < 200 && (accepted = platform::acceptConnection(listener, error)) == platform::kNoSocket; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_NE(accepted, platform::kNoSocket) << error;
    EXPECT_EQ(error, 0);
    EXPECT_NE(::fcntl(static_cast<int>(accepted), F_GETFD) & FD_CLOEXEC, 0);
    ASSERT_TRUE(platform::prepareStreamSocket(accepted, 2));
    const std::string_view hello[] = {"hello"};
    EXPECT_EQ(platform::sendAll(accepted, hello), 0);
    char buffer[8];
    EXPECT_EQ(::recv(peer, buffer, sizeof buffer, 0), 5);
    platform::closeSocket(accepted);
    ::close(peer);
    ::close(listener);

    EXPECT_EQ(platform::acceptConnection(listener, error), platform::kNoSocket);
    EXPECT_EQ(error, EBADF);
}
