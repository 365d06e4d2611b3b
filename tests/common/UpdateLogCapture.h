#pragma once
// Collects the run-log lines that update checks write, from any thread, for the life of the
// object (the previous sink comes back afterwards).
#include "update/UpdateLog.h"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kx::test {

class UpdateLogCapture {
public:
    UpdateLogCapture()
    {
        previous_ = setUpdateLogSink([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        });
    }
    ~UpdateLogCapture() { setUpdateLogSink(std::move(previous_)); }
    UpdateLogCapture(const UpdateLogCapture&) = delete;
    UpdateLogCapture& operator=(const UpdateLogCapture&) = delete;

    // The lines written since the last call.
    std::vector<std::string> take()
    {
        std::lock_guard lock(mutex_);
        return std::exchange(lines_, {});
    }

private:
    UpdateLogSink previous_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

} // namespace kx::test
