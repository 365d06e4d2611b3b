// The loop's poller on Windows: a socket with bytes to read is reported with its key for as long
// as the bytes wait, a peer that closes is reported too, a removed socket is not, and wake() from
// another thread ends a wait that has no timeout.
#include "platform/SocketPoller.h"

#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <array>
#include <chrono>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using namespace kx;
using namespace std::chrono_literals;

namespace {

class SocketPollerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        WSADATA data{};
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    static void TearDownTestSuite() { WSACleanup(); }

    void SetUp() override
    {
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        ASSERT_NE(listener_, INVALID_SOCKET);
        address_.sin_family = AF_INET;
        address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address_), sizeof address_), 0);
        ASSERT_EQ(listen(listener_, 8), 0);
        int length = sizeof address_;
        ASSERT_EQ(getsockname(listener_, reinterpret_cast<sockaddr*>(&address_), &length), 0);
    }
    void TearDown() override
    {
        for (auto [server, client] : pairs_) {
            closesocket(server);
            closesocket(client);
        }
        closesocket(listener_);
    }

    // A connected pair; the server side is prepared as the service prepares it.
    std::pair<SOCKET, SOCKET> connectPair()
    {
        SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address_), sizeof address_), 0);
        SOCKET server = accept(listener_, nullptr, nullptr);
        EXPECT_NE(server, INVALID_SOCKET);
        EXPECT_TRUE(platform::prepareStreamSocket(static_cast<platform::SocketHandle>(server), 2));
        pairs_.emplace_back(server, client);
        return {server, client};
    }

    static std::set<std::uint64_t> reported(platform::SocketPoller& poller, std::chrono::milliseconds timeout)
    {
        std::array<platform::PollEvent, 16> events{};
        const std::size_t n = poller.wait(events, timeout);
        std::set<std::uint64_t> keys;
        for (std::size_t i = 0; i < n; ++i)
            keys.insert(events[i].key);
        return keys;
    }

    SOCKET listener_ = INVALID_SOCKET;
    sockaddr_in address_{};
    std::vector<std::pair<SOCKET, SOCKET>> pairs_;
};

platform::SocketHandle h(SOCKET s)
{
    return static_cast<platform::SocketHandle>(s);
}

} // namespace

TEST_F(SocketPollerTest, ReportsReadableSocketsWithTheirKeysUntilRead)
{
    platform::SocketPoller poller;
    const auto [quietServer, quietClient] = connectPair();
    const auto [busyServer, busyClient] = connectPair();
    const std::uint64_t largeKey = (std::uint64_t{1} << 40) + 7; // keys are 64 bits wide
    ASSERT_EQ(poller.add(h(quietServer), 11), 0);
    ASSERT_EQ(poller.add(h(busyServer), largeKey), 0);

    EXPECT_TRUE(reported(poller, 50ms).empty());
    ASSERT_EQ(send(busyClient, "ping", 4, 0), 4);
    EXPECT_EQ(reported(poller, 5000ms), std::set<std::uint64_t>{largeKey});
    // Level-triggered: reported again while the bytes are unread.
    EXPECT_EQ(reported(poller, 5000ms), std::set<std::uint64_t>{largeKey});
    char buffer[8];
    ASSERT_EQ(recv(busyServer, buffer, sizeof buffer, 0), 4);
    EXPECT_TRUE(reported(poller, 50ms).empty());

    // A peer that closes is reported as well (the read then sees the end).
    shutdown(quietClient, SD_SEND);
    EXPECT_EQ(reported(poller, 5000ms), std::set<std::uint64_t>{11});
    EXPECT_EQ(platform::receiveSome(h(quietServer), buffer, sizeof buffer).status, platform::ReceiveStatus::Closed);
}

TEST_F(SocketPollerTest, RemovedSocketIsNotReported)
{
    platform::SocketPoller poller;
    std::vector<std::pair<SOCKET, SOCKET>> sockets;
    for (std::uint64_t key = 0; key < 4; ++key) {
        sockets.push_back(connectPair());
        ASSERT_EQ(poller.add(h(sockets.back().first), key), 0);
        ASSERT_EQ(send(sockets.back().second, "x", 1, 0), 1);
    }
    std::set<std::uint64_t> all;
    for (int i = 0; i < 50 && all.size() < 4; ++i)
        all = reported(poller, 1000ms);
    ASSERT_EQ(all, (std::set<std::uint64_t>{0, 1, 2, 3}));
    poller.remove(h(sockets[1].first));
    poller.remove(h(sockets[3].first));
    EXPECT_EQ(reported(poller, 1000ms), (std::set<std::uint64_t>{0, 2}));
}

// More readable sockets than the caller has room for: each wait reports as many as fit, and every
// socket is reported within a few waits.
TEST_F(SocketPollerTest, EverySocketHasItsTurnWhenTheEventsAreFew)
{
    platform::SocketPoller poller;
    for (std::uint64_t key = 0; key < 6; ++key) {
        const auto [server, client] = connectPair();
        ASSERT_EQ(poller.add(h(server), key), 0);
        ASSERT_EQ(send(client, "x", 1, 0), 1);
    }
    std::this_thread::sleep_for(200ms);
    std::set<std::uint64_t> seen;
    std::array<platform::PollEvent, 4> events{};
    for (int i = 0; i < 3; ++i) {
        const std::size_t n = poller.wait(events, 1000ms);
        EXPECT_EQ(n, 4u);
        for (std::size_t k = 0; k < n; ++k)
            seen.insert(events[k].key);
    }
    EXPECT_EQ(seen.size(), 6u);
}

TEST_F(SocketPollerTest, WakeFromAnotherThreadEndsAWaitWithoutTimeout)
{
    platform::SocketPoller poller;
    const auto [server, client] = connectPair();
    ASSERT_EQ(poller.add(h(server), 5), 0);
    for (int round = 0; round < 3; ++round) {
        auto waiting = std::async(std::launch::async, [&] { return reported(poller, -1ms); });
        ASSERT_EQ(waiting.wait_for(200ms), std::future_status::timeout) << "the wait returned by itself";
        std::thread([&] { poller.wake(); }).join();
        ASSERT_EQ(waiting.wait_for(20s), std::future_status::ready) << "wake() did not end the wait";
        EXPECT_TRUE(waiting.get().empty());
    }
    // A wake before the wait makes the next wait return; the wake is used up by it.
    poller.wake();
    poller.wake();
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(reported(poller, 20000ms).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(reported(poller, 300ms).empty());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
}

// The loop's pattern: another thread queues work and wakes the poller, the loop thread takes the
// queue after every wait. No wake may be lost, whenever it comes: a lost one leaves work queued
// with the loop asleep.
TEST(SocketPollerWake, NoWakeIsLostUnderAStreamOfWakes)
{
    platform::SocketPoller poller;
    constexpr int kItems = 20000;
    std::mutex mutex;
    int queued = 0;
    std::thread producer([&] {
        for (int i = 0; i < kItems; ++i) {
            {
                std::lock_guard lock(mutex);
                ++queued;
            }
            poller.wake();
            if (i % 7 == 0)
                std::this_thread::yield();
        }
    });
    int taken = 0;
    int stalls = 0;
    std::array<platform::PollEvent, 4> events{};
    while (taken < kItems && stalls == 0) {
        {
            std::lock_guard lock(mutex);
            taken += queued;
            queued = 0;
        }
        if (taken == kItems)
            break;
        const auto start = std::chrono::steady_clock::now();
        poller.wait(events, 3000ms);
        if (std::chrono::steady_clock::now() - start >= 2500ms) {
            std::lock_guard lock(mutex);
            stalls += queued > 0 ? 1 : 0;
        }
    }
    producer.join();
    EXPECT_EQ(stalls, 0) << "work was queued and woken for, yet the wait slept on (after " << taken << " items)";
}
