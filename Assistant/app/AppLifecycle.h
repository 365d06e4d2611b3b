#pragma once
// AppLifecycle: the client's start-up and exit routine without the window. It owns the run log
// and the HTTP service. start() applies a pending module update, clears the download folder,
// reads the service address, creates the module handle list, opens the service and lists the CA
// library; exit() stops the service, releases the module libraries and saves the log. Lines for
// the run log go through record(), which hands each finished line to the display function;
// threads other than the main one use recordFromAnyThread(). The caller gate of the service and
// update checks log through it. Main thread only otherwise; knows no toolkit.
#include "common/RunLog.h"
#include "http/HttpService.h"

#include <functional>
#include <memory>
#include <string>

namespace kx {

class AppLifecycle {
public:
    using Display = std::function<void(const std::string& line)>;
    // Runs `task` on another thread and returns when it has finished, while the calling thread
    // goes on delivering its window messages.
    using DeliverWhile = std::function<void(const std::function<void()>& task)>;
    // Runs `task` later on the main thread; callable from any thread. A task whose owner is gone
    // by then is dropped.
    using Post = std::function<void(std::function<void()> task)>;

    // With `post`, update checks log through recordFromAnyThread() for the life of this object.
    AppLifecycle(std::string programFolder, Display display, Post post = {});
    ~AppLifecycle(); // stops the service if it still runs

    // The start-up steps, in order; called once.
    void start();
    // The exit steps; the service is stopped through `deliverWhile` because a request may be
    // waiting for the calling thread. Runs once; false when it had run already.
    bool exit(const DeliverWhile& deliverWhile);

    // Appends "【hh:nn:ss】 message" to the run log and displays it (nothing is written to disk).
    void record(const std::string& message);
    // The same from any thread: the line is added on the main thread (directly without `post`).
    void recordFromAnyThread(const std::string& message);
    // Appends the run's log lines to log/yy-mm-dd.txt; a failure is reported on standard error.
    void saveLog();

    const RunLog& runLog() const { return runLog_; }
    bool serviceRunning() const;
    const std::string& programFolder() const { return programFolder_; }

private:
    void startHttpService();
    // The caller gate from trusted.sites; logs entries it cannot read and, when neither
    // trusted.sites nor conf/update.pub is set, that every page may drive the service.
    std::shared_ptr<http::CallerGate> makeCallerGate();
    void registerCaHandle();

    std::string programFolder_;
    Display display_;
    Post post_;
    RunLog runLog_;
    std::unique_ptr<http::HttpService> httpService_;
    bool exited_ = false;
};

} // namespace kx
