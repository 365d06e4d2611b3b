#pragma once
// The companion service's own log: one file per day, log/service-yy-mm-dd.txt in the program
// folder, in the run log's line form ("【hh:nn:ss】 message", CR LF, system code page). Every line
// is appended at once, so a service that is ended (the installer stops it) loses nothing. Lines
// also go to standard error, for a run in a console. Safe to use from any thread.
#include <ctime>
#include <mutex>
#include <string>

namespace kx::companion {

// "service-yy-mm-dd.txt" for the local date of t.
std::string serviceLogFileName(std::time_t t);

class CompanionLog {
public:
    explicit CompanionLog(std::string programFolder);

    // Appends the line; a log that cannot be written is reported on standard error only.
    void write(const std::string& message, std::time_t t = std::time(nullptr));

    const std::string& programFolder() const { return programFolder_; }

private:
    std::string programFolder_;
    std::mutex mutex_;
};

} // namespace kx::companion
