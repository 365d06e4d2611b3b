#include "platform/ServiceManager.h"

#include "base/Text.h"
#include "platform/Files.h"

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kx::platform {

const char* companionServiceProgram()
{
    return "KxService";
}

namespace fs = std::filesystem;
namespace {

// Runs a program with arguments and waits for it; gives its exit code (-1 when it could not run
// or did not exit normally) and what it wrote to standard output.
int runProgram(const std::vector<std::string>& args, std::string* output)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    std::string out;
    if (rc == 0) {
        char buf[512];
        for (;;) {
            const ssize_t n = ::read(pipeFds[0], buf, sizeof buf);
            if (n > 0)
                out.append(buf, static_cast<std::size_t>(n));
            else if (n < 0 && errno == EINTR)
                continue;
            else
                break;
        }
    }
    ::close(pipeFds[0]);
    if (rc != 0)
        return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (output)
        *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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
