#pragma once
// Threads for the requests that may wait (module calls, large uploads and replies): a job runs at
// once on an idle thread or on a new one while there are fewer than maxThreads; past that it waits
// for the first thread that is done. A thread that has had nothing to do for a while ends.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace kx::http {

class WorkerPool {
public:
    explicit WorkerPool(std::size_t maxThreads = 64, std::chrono::milliseconds idleExit = std::chrono::seconds(10));
    ~WorkerPool(); // join()
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Raises std::system_error (the job not taken) when a needed thread cannot be started, or
    // after join().
    void submit(std::function<void()> job);
    // Runs every job submitted so far to its end and joins every thread. Idempotent.
    void join();

private:
    using ThreadList = std::list<std::thread>;
    void run(ThreadList::iterator self);

    const std::size_t maxThreads_;
    const std::chrono::milliseconds idleExit_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    ThreadList threads_;  // alive
    ThreadList finished_; // ended for idleness, not joined yet
    std::size_t idle_ = 0;
    bool closing_ = false;
};

} // namespace kx::http
