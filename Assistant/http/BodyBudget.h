#pragma once
// What the service holds of request bodies at once, across all connections: a body is admitted
// only when its declared length (or, for a chunked body, what has arrived) fits in what is left,
// so that a few clients sending very large forms at the same time cannot take all the memory. A
// connection keeps its reservation until its next request begins or it ends.
#include <atomic>
#include <cstdint>
#include <memory>

namespace kx::http {

class BodyBudget {
public:
    explicit BodyBudget(std::uint64_t limit) : limit_(limit) {}

    // Takes bytes from the budget; false (nothing taken) when they do not fit. Any thread.
    bool take(std::uint64_t bytes)
    {
        std::uint64_t used = used_.load();
        do {
            if (bytes > limit_ || used > limit_ - bytes)
                return false;
        } while (!used_.compare_exchange_weak(used, used + bytes));
        return true;
    }
    void give(std::uint64_t bytes) { used_.fetch_sub(bytes); }
    std::uint64_t used() const { return used_.load(); }

private:
    const std::uint64_t limit_;
    std::atomic<std::uint64_t> used_{0};
};

// A share of a budget, given back when released or destroyed. Used by one thread at a time.
class BodyReservation {
public:
    BodyReservation() = default;
    ~BodyReservation() { release(); }
    BodyReservation(const BodyReservation&) = delete;
    BodyReservation& operator=(const BodyReservation&) = delete;

    // Raises the share to `total` bytes; false (the share unchanged) when the budget has no room.
    bool growTo(const std::shared_ptr<BodyBudget>& budget, std::uint64_t total)
    {
        if (budget_ && budget_ != budget)
            release();
        if (total <= bytes_)
            return true;
        if (!budget->take(total - bytes_))
            return false;
        budget_ = budget;
        bytes_ = total;
        return true;
    }
    void release()
    {
        if (budget_ && bytes_ > 0)
            budget_->give(bytes_);
        bytes_ = 0;
        budget_.reset();
    }
    std::uint64_t bytes() const { return bytes_; }

private:
    std::shared_ptr<BodyBudget> budget_;
    std::uint64_t bytes_ = 0;
};

} // namespace kx::http
