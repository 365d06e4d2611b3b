#pragma once
// The run log: timestamped lines kept in memory for the whole run and appended to the day's log
// file (log/yy-mm-dd.txt, CR LF line ends, in the system code page) at exit.
#include <ctime>
#include <string>
#include <vector>

namespace kx {

// "【hh:nn:ss】 message" for the local time t.
std::string formatLogLine(std::time_t t, const std::string& message);
// "yy-mm-dd.txt" for the local date of t.
std::string logFileName(std::time_t t);

class RunLog {
public:
    const std::string& add(const std::string& message, std::time_t t = std::time(nullptr));
    const std::vector<std::string>& lines() const { return lines_; }

    // Creates programFolder/log (with missing parents) and appends every line with CR LF to the
    // file of the local date of t. Raises KxError when the folder or file cannot be written.
    void save(const std::string& programFolder, std::time_t t = std::time(nullptr)) const;

private:
    std::vector<std::string> lines_;
};

} // namespace kx
