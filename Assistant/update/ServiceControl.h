#pragma once
// Requests to the companion service (restart the client, install a downloaded installer) and the
// repair of that service when it does not answer. These run on the main window's thread: the
// questions are message boxes owned by the main window, the outcomes are tray balloons.
#include "platform/ServiceManager.h"

#include <chrono>
#include <functional>
#include <string>

namespace kx {

inline constexpr const char* kCompanionServiceName = "KestrixAssistantServer";
inline constexpr const char* kCompanionServiceDisplayName = "Kestrix Assistant Server";

using BalloonFn = std::function<void(const std::string&)>;

// "http://" + address + ":" + (port + 2) + requestPath, with every blank replaced by "%20" and
// bytes outside ASCII percent-encoded; nothing else is encoded. Raises KxError when the port is
// not a number.
std::string controlRequestAddress(const std::string& serviceAddress, const std::string& servicePort,
                                  const std::string& requestPath);

// How long a request to the companion service may take: to connect, and then for the answer.
// A companion that accepts and never answers would otherwise hold the main window's thread (tray,
// dialogs, window messages) for ever; past the limits the request counts as not answered.
struct ControlRequestLimits {
    std::chrono::milliseconds connect{10000};
    std::chrono::milliseconds answer{30000};
};
// Replaces the limits (tests) and gives back the previous ones.
ControlRequestLimits setControlRequestLimits(const ControlRequestLimits& limits);

// POST with an empty form body; true when the service answered with a 2xx status within the limits.
bool sendControlRequest(const std::string& url);

// Starts the service, registering it first when it does not exist. The start-with-system flag is
// cleared while the service starts when it was set, and set again afterwards. True when the
// service was started. Raises what readAutoRun raises (the flag cannot be read), or KxError when
// the flag reads negative.
bool repairService(platform::ServiceManager& manager, const std::string& serviceName,
                   const std::string& programFolder);

// Sends the request; when that fails, offers the repair, repeats the request after a successful
// repair and reports the outcome with a balloon.
void runControlRequest(const std::string& url, const std::string& programFolder, const BalloonFn& balloon);

// Asks question (default No); on Yes runs the control request.
void handOverUpdate(const std::string& question, const std::string& url, const std::string& programFolder,
                    const BalloonFn& balloon);

} // namespace kx
