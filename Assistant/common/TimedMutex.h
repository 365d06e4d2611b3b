#pragma once
// A mutex whose lock can be waited for with a time limit, built on a condition variable. It
// stands in for std::timed_mutex, whose timed lock the thread checker cannot follow, which then
// reports every unlock as wrong.
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kx {

class TimedMutex {
public:
    void lock()
    {
        std::unique_lock guard(state_);
        free_.wait(guard, [this] { return !held_; });
        held_ = true;
    }
    bool try_lock()
    {
        std::lock_guard guard(state_);
        if (held_)
            return false;
        held_ = true;
        return true;
    }
    template <typename Rep, typename Period>
    bool try_lock_for(const std::chrono::duration<Rep, Period>& wait)
    {
        std::unique_lock guard(state_);
        if (!free_.wait_for(guard, wait, [this] { return !held_; }))
            return false;
        held_ = true;
        return true;
    }
    void unlock()
    {
        {
            std::lock_guard guard(state_);
            held_ = false;
        }
        free_.notify_one();
    }

private:
    std::mutex state_;
    std::condition_variable free_;
    bool held_ = false;
};

} // namespace kx
