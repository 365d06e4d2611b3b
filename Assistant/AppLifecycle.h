#pragma once
// AppLifecycle: the client's start-up and exit routine without the window. It owns the run log
// and the HTTP service. start() applies a pending module update, clears the download folder,
// reads the service address, creates the module handle list, opens the service and lists the CA
// library; exit() stops the service, releases the module libraries and saves the log. Lines for
// the run log go through record(), which hands each finished line to the display function.
// Main thread only; knows no toolkit.
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

    AppLifecycle(std::string programFolder, Display display);
    ~AppLifecycle(); // stops the service if it still runs

    // The start-up steps, in order; called once.
    void start();
    // The exit steps; the service is stopped through `deliverWhile` because a request may be
    // waiting for the calling thread. Runs once; false when it had run already.
    bool exit(const DeliverWhile& deliverWhile);

    // Appends "【hh:nn:ss】 message" to the run log and displays it (nothing is written to disk).
    void record(const std::string& message);
    // Appends the run's log lines to log/yy-mm-dd.txt; a failure is reported on standard error.
    void saveLog();

    const RunLog& runLog() const { return runLog_; }
    bool serviceRunning() const;
    const std::string& programFolder() const { return programFolder_; }

private:
    void startHttpService();
    void registerCaHandle();

    std::string programFolder_;
    Display display_;
    RunLog runLog_;
    std::unique_ptr<http::HttpService> httpService_;
    bool exited_ = false;
};

} // namespace kx
