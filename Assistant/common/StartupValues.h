#pragma once
// Values set once on the main thread during start-up, before the HTTP service starts, and only
// read afterwards (from every thread).
#include <string>

namespace kx {

struct StartupValues {
    std::string programFolder;  // no trailing separator
    std::string serviceAddress; // as read, e.g. "127.0.0.1"
    std::string servicePort;    // as read, e.g. "13526"
    std::string trustedSites;   // [HTTP] trusted.sites as read; empty = every site
};

const StartupValues& startupValues();
StartupValues& mutableStartupValues(); // start-up only

} // namespace kx
