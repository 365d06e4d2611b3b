#pragma once
// Run-log lines from update checks and their start-up completion: why an update did not arrive
// (a refused package or signature, a failed extraction, a rolled-back module). Update checks run
// on threads of their own, so the run log's owner installs a sink that carries each line to its
// own thread. Without a sink the lines go to standard error.
#include <functional>
#include <string>

namespace kx {

using UpdateLogSink = std::function<void(const std::string& message)>;

// Installs the sink (an empty one restores standard error) and gives back the previous one.
UpdateLogSink setUpdateLogSink(UpdateLogSink sink);
// Hands one line to the sink; any thread.
void updateLog(const std::string& message);

} // namespace kx
