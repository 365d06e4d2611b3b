#include "http/WorkerPool.h"

#include <cstdio>
#include <exception>
#include <system_error>

namespace kx::http {

WorkerPool::WorkerPool(std::size_t maxThreads, std::chrono::milliseconds idleExit)
    : maxThreads_(maxThreads < 1 ? 1 : maxThreads), idleExit_(idleExit)
{
}

WorkerPool::~WorkerPool()
{
    join();
}

void WorkerPool::submit(std::function<void()> job)
{
    ThreadList finished;
    {
        std::lock_guard lock(mutex_);
        if (closing_)
            throw std::system_error(std::make_error_code(std::errc::operation_canceled), "worker pool closed");
        finished.swap(finished_);
        jobs_.push_back(std::move(job));
        if (jobs_.size() > idle_ && threads_.size() < maxThreads_) {
            try {
                threads_.emplace_back();
                threads_.back() = std::thread([this, self = std::prev(threads_.end())] { run(self); });
            } catch (...) {
                if (!threads_.empty() && !threads_.back().joinable())
                    threads_.pop_back();
                jobs_.pop_back();
                throw;
            }
        }
    }
    ready_.notify_one();
    for (auto& t : finished)
        t.join();
}

void WorkerPool::run(ThreadList::iterator self)
{
    std::unique_lock lock(mutex_);
    while (true) {
        if (!jobs_.empty()) {
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            try {
                job();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "HTTP service: worker error: %s\n", e.what());
            }
            job = nullptr; // whatever the job held goes before the lock is taken again
            lock.lock();
            continue;
        }
        if (closing_)
            return;
        ++idle_;
        const bool woken = ready_.wait_for(lock, idleExit_, [this] { return !jobs_.empty() || closing_; });
        --idle_;
        if (!woken) {
            // Joined by the next submit or by join().
            finished_.splice(finished_.end(), threads_, self);
            return;
        }
    }
}

void WorkerPool::join()
{
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    ready_.notify_all();
    // No thread moves itself between the lists once closing is set.
    for (auto& t : threads_)
        if (t.joinable())
            t.join();
    for (auto& t : finished_)
        if (t.joinable())
            t.join();
}

} // namespace kx::http
