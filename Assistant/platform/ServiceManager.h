#pragma once
// The system's service manager, as the companion service repair needs it: open the manager,
// open a service by name or register it, start it. Handles close when their objects go away.
#include <chrono>
#include <memory>
#include <string>

namespace kx::platform {

// What a missing service is registered with: an own-process service that starts automatically
// with the system, running the given program under the system account.
struct ServiceRegistration {
    std::string name;
    std::string displayName;
    std::string program; // full path of the service's program
    std::string description = {}; // shown by the system's service list; "" = none
};

// The companion service's program in the program folder ("KxService.exe" on Windows, where
// programs carry their name extension; "KxService" elsewhere).
const char* companionServiceProgram();

class Service {
public:
    virtual ~Service() = default;
    // Starts the service without arguments. False when it cannot start, also when it already runs.
    virtual bool start() = 0;
    // Asks the service to stop and waits until it has stopped. True when it is stopped, also when
    // it did not run.
    virtual bool stop(std::chrono::milliseconds /*timeout*/) { return false; }
    // True while the service runs (or is starting or stopping).
    virtual bool active() { return false; }
    // Removes the registration (on Windows it goes once the service stopped and every handle to it
    // is closed). False when it cannot be removed.
    virtual bool remove() { return false; }
    // Brings an existing registration to these values (program, display name, description,
    // automatic start, own process, system account). False on failure.
    virtual bool reconfigure(const ServiceRegistration& /*registration*/) { return false; }
};

enum class OpenServiceError { None, DoesNotExist, Other };

class ServiceControlManager {
public:
    virtual ~ServiceControlManager() = default;
    // nullptr on failure, with the reason in error.
    virtual std::unique_ptr<Service> openService(const std::string& name, OpenServiceError& error) = 0;
    // nullptr when the service cannot be registered.
    virtual std::unique_ptr<Service> createService(const ServiceRegistration& registration) = 0;
};

class ServiceManager {
public:
    virtual ~ServiceManager() = default;
    // nullptr when the manager cannot be opened.
    virtual std::unique_ptr<ServiceControlManager> openManager() = 0;
};

// The machine's manager (systemd on Linux, the service control manager on Windows, where a
// registration runs the program's path in double quotes) until another is installed. Main thread only.
ServiceManager& serviceManager();
// Installs a manager (tests) and gives back the previous one; nullptr restores the default.
std::shared_ptr<ServiceManager> setServiceManager(std::shared_ptr<ServiceManager> manager);

// systemd: services are units "<name>.service"; a registered unit runs the program as root, is
// enabled for the multi-user target, and starting fails when the unit is already active. When
// systemd does not run, the manager cannot be opened.
struct SystemdPaths {
    std::string runtimeMarker = "/run/systemd/system"; // exists while systemd is the init system
    std::string unitFolder = "/etc/systemd/system";
    std::string systemctl = "systemctl";
};
std::shared_ptr<ServiceManager> makeSystemdServiceManager(SystemdPaths paths = {});
// The unit file written for a registration.
std::string systemdUnitText(const ServiceRegistration& registration);

} // namespace kx::platform
