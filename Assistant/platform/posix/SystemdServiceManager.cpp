#include "platform/ServiceManager.h"

#include "base/Text.h"
#include "platform/Files.h"
#include "platform/posix/Spawn.h"

#include <filesystem>
#include <mutex>
#include <vector>


namespace kx::platform {

const char* companionServiceProgram()
{
    return "KxService";
}

namespace fs = std::filesystem;
namespace {

using posix::runProgram;

std::string trimmed(const std::string& s)
{
    return std::string(base::trimmedEnd(s, "\n\r "));
}

class SystemdService : public Service {
public:
    SystemdService(SystemdPaths paths, std::string unit) : paths_(std::move(paths)), unit_(std::move(unit)) {}

    bool start() override
    {
        // A unit that already runs counts as a failed start.
        if (runProgram({paths_.systemctl, "is-active", "--quiet", unit_}, nullptr) == 0)
            return false;
        return runProgram({paths_.systemctl, "start", unit_}, nullptr) == 0;
    }

    // systemctl stop waits for the unit to stop (up to the unit's own stop time-out).
    bool stop(std::chrono::milliseconds) override
    {
        return runProgram({paths_.systemctl, "stop", unit_}, nullptr) == 0;
    }

    bool active() override { return runProgram({paths_.systemctl, "is-active", "--quiet", unit_}, nullptr) == 0; }

    bool remove() override
    {
        std::string out;
        runProgram({paths_.systemctl, "show", "-p", "FragmentPath", "--value", unit_}, &out);
        if (runProgram({paths_.systemctl, "disable", unit_}, nullptr) != 0)
            return false;
        // Only a unit file this manager wrote is removed; a packaged unit stays with its package.
        const fs::path written = fs::path(paths_.unitFolder) / unit_;
        std::error_code ec;
        if (fs::path(trimmed(out)) == written)
            fs::remove(written, ec);
        return runProgram({paths_.systemctl, "daemon-reload"}, nullptr) == 0;
    }

    // Only a unit file this manager wrote is rewritten. A unit a package installed (its file
    // elsewhere, or a link here such as the package's alias) belongs to the package: writing
    // through the link would replace the package's file, and a new file here would shadow it.
    bool reconfigure(const ServiceRegistration& registration) override
    {
        const fs::path file = fs::path(paths_.unitFolder) / unit_;
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(file, ec);
        if (!fs::is_regular_file(status))
            return true;
        return replaceFileAtomically(file.string(), systemdUnitText(registration)) &&
               runProgram({paths_.systemctl, "daemon-reload"}, nullptr) == 0 &&
               runProgram({paths_.systemctl, "enable", unit_}, nullptr) == 0;
    }

private:
    SystemdPaths paths_;
    std::string unit_;
};

class SystemdControlManager : public ServiceControlManager {
public:
    explicit SystemdControlManager(SystemdPaths paths) : paths_(std::move(paths)) {}

    std::unique_ptr<Service> openService(const std::string& name, OpenServiceError& error) override
    {
        const std::string unit = name + ".service";
        std::string out;
        const int rc = runProgram({paths_.systemctl, "show", "-p", "LoadState", "--value", unit}, &out);
        out = trimmed(out);
        if (rc == 0 && out == "loaded") {
            error = OpenServiceError::None;
            return std::make_unique<SystemdService>(paths_, unit);
        }
        error = (rc == 0 && out == "not-found") ? OpenServiceError::DoesNotExist : OpenServiceError::Other;
        return nullptr;
    }

    std::unique_ptr<Service> createService(const ServiceRegistration& registration) override
    {
        const std::string unit = registration.name + ".service";
        const fs::path file = fs::path(paths_.unitFolder) / unit;
        if (!replaceFileAtomically(file.string(), systemdUnitText(registration)))
            return nullptr;
        if (runProgram({paths_.systemctl, "daemon-reload"}, nullptr) != 0)
            return nullptr;
        if (runProgram({paths_.systemctl, "enable", unit}, nullptr) != 0)
            return nullptr;
        return std::make_unique<SystemdService>(paths_, unit);
    }

private:
    SystemdPaths paths_;
};

class SystemdServiceManager : public ServiceManager {
public:
    explicit SystemdServiceManager(SystemdPaths paths) : paths_(std::move(paths)) {}

    std::unique_ptr<ServiceControlManager> openManager() override
    {
        std::error_code ec;
        if (!fs::is_directory(paths_.runtimeMarker, ec))
            return nullptr;
        return std::make_unique<SystemdControlManager>(paths_);
    }

private:
    SystemdPaths paths_;
};

// Quotes a path for ExecStart: inside double quotes, with "\" and '"' escaped and the
// specifier and variable characters doubled.
std::string quoteExecPath(const std::string& path)
{
    std::string q = "\"";
    for (char c : path) {
        if (c == '\\' || c == '"')
            q += '\\';
        if (c == '%' || c == '$')
            q += c;
        q += c;
    }
    return q + "\"";
}

std::mutex g_mutex;
std::shared_ptr<ServiceManager> g_manager;

} // namespace

std::string systemdUnitText(const ServiceRegistration& registration)
{
    return "[Unit]\n"
           "Description=" + registration.displayName + "\n"
           "\n"
           "[Service]\n"
           "Type=simple\n"
           "ExecStart=" + quoteExecPath(registration.program) + "\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

std::shared_ptr<ServiceManager> makeSystemdServiceManager(SystemdPaths paths)
{
    return std::make_shared<SystemdServiceManager>(std::move(paths));
}

ServiceManager& serviceManager()
{
    std::lock_guard lock(g_mutex);
    if (!g_manager)
        g_manager = makeSystemdServiceManager();
    return *g_manager;
}

std::shared_ptr<ServiceManager> setServiceManager(std::shared_ptr<ServiceManager> manager)
{
    std::lock_guard lock(g_mutex);
    std::swap(g_manager, manager);
    return manager;
}

} // namespace kx::platform
