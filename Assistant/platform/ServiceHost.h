#pragma once
// Running a program as a system service: on Windows under the service control dispatcher (status
// reported to the service control manager, stop and shutdown requests handled, user logons
// reported); where the process was not started by a service manager (a console, a test, systemd's
// plain services), in the foreground, where SIGTERM, SIGINT, Ctrl+C or Ctrl+Break count as the stop
// request.
#include <functional>
#include <string>

namespace kx::platform {

enum class ServiceEventKind {
    Stop,       // stop or shutdown requested: the body should end
    UserLogon,  // a user signed in (Windows: session id in `session`)
    FlagChanged, // the start-with-system flag's store was written (Linux; Windows keeps no
                 // logon entry to follow it, LogonEntry.h)
};

struct ServiceEvent {
    ServiceEventKind kind = ServiceEventKind::Stop;
    unsigned long session = 0;
};

class ServiceContext {
public:
    virtual ~ServiceContext() = default;
    // Tells the service manager that the service runs (until then it is "start pending").
    virtual void reportRunning() = 0;
    // Blocks until the next event. After a Stop every further call returns Stop at once.
    virtual ServiceEvent nextEvent() = 0;
};

// Runs body as the service `name`. Under a service manager the status is "stopped" with the
// body's result as the exit code once body returns; in the foreground the body's result is
// returned. The body runs on a thread of its own on Windows (the dispatcher's service thread).
int runService(const std::string& name, const std::function<int(ServiceContext&)>& body);

} // namespace kx::platform
