#pragma once
// Update requests never reach this program's own HTTP service or its companion service (service
// port + 2): an update address that names them would make the update check itself call
// /appctrl (ending the program) or /upgradeMainApp (installing whatever file it names). Pages
// set the update address, so it is checked when stored and again, after name resolution, on every
// request.
#include "common/StartupValues.h"
#include "http/HttpClient.h"

#include <string>

namespace kx {

// True when ip (as connected: "127.0.0.1", "::1", "::ffff:127.0.0.1", ...) at port is one of them:
// a loopback or unspecified address, or the configured service address, at the service port or
// the service port + 2.
bool isOwnServiceDestination(const std::string& ip, unsigned port, const StartupValues& values);

// Why url (an update address as it will be requested) names one of them before any resolution:
// its host is a loopback or unspecified address in any spelling the URL parser normalises
// (decimal, hex and octal IPv4 forms, "0", IPv6 literals, "localhost" and names under it) or the
// service address, and its port is one of theirs. Empty when it does not, or cannot be parsed
// (the request then fails on its own).
std::string ownServiceAddressProblem(const std::string& url, const StartupValues& values);

// Makes a request refuse, after name resolution and before a byte is sent, a connection to one
// of them (with the start-up values), with a run-log line that says why.
void refuseOwnServices(http::RequestOptions& options);

} // namespace kx
