#include "platform/SocketPoller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

namespace kx::platform {

namespace {

// The key of the wake descriptor; socket keys are whatever the caller chose, so the wake
// descriptor is told apart by its own registration instead.
constexpr std::uint64_t kWakeKey = ~std::uint64_t{0};

} // namespace

// Level-triggered epoll: a socket with unread bytes is reported again on every wait, so the loop
// may read once per report. The wake is an eventfd, drained when it is reported.
struct SocketPoller::Impl {
    int epoll = -1;
    int wakeFd = -1;
};

SocketPoller::SocketPoller() : impl_(std::make_unique<Impl>())
{
    impl_->epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (impl_->epoll < 0)
        throw std::system_error(errno, std::system_category(), "epoll_create1");
    impl_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl_->wakeFd < 0) {
        const int error = errno;
        ::close(impl_->epoll);
        throw std::system_error(error, std::system_category(), "eventfd");
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeKey;
    if (::epoll_ctl(impl_->epoll, EPOLL_CTL_ADD, impl_->wakeFd, &ev) != 0) {
        const int error = errno;
        ::close(impl_->wakeFd);
        ::close(impl_->epoll);
        throw std::system_error(error, std::system_category(), "epoll_ctl");
    }
}

SocketPoller::~SocketPoller()
{
    ::close(impl_->wakeFd);
    ::close(impl_->epoll);
}

int SocketPoller::add(SocketHandle socket, std::uint64_t key)
{
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = key;
    return ::epoll_ctl(impl_->epoll, EPOLL_CTL_ADD, static_cast<int>(socket), &ev) == 0 ? 0 : errno;
}

void SocketPoller::remove(SocketHandle socket)
{
    epoll_event ev{};
    ::epoll_ctl(impl_->epoll, EPOLL_CTL_DEL, static_cast<int>(socket), &ev);
}

std::size_t SocketPoller::wait(std::span<PollEvent> events, std::chrono::milliseconds timeout)
{
    constexpr std::size_t kBatch = 64;
    std::array<epoll_event, kBatch> ready{};
    const int max = static_cast<int>(std::min(events.size(), kBatch));
    const int ms = timeout.count() < 0 ? -1 : static_cast<int>(std::min<long long>(timeout.count(), 24 * 3600 * 1000));
    const int n = ::epoll_wait(impl_->epoll, ready.data(), max, ms);
    std::size_t count = 0;
    for (int i = 0; i < n; ++i) {
        if (ready[i].data.u64 == kWakeKey) {
            std::uint64_t value;
            [[maybe_unused]] ssize_t r = ::read(impl_->wakeFd, &value, sizeof value);
            continue;
        }
        events[count++].key = ready[i].data.u64;
    }
    return count;
}

void SocketPoller::wake()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(impl_->wakeFd, &one, sizeof one);
}

} // namespace kx::platform
