#include "platform/Process.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace kx::platform {

std::string executableFolder()
{
    std::error_code ec;
    auto exe = std::filesystem::canonical("/proc/self/exe", ec);
    if (ec)
        return std::filesystem::current_path().string();
    return exe.parent_path().string();
}

std::vector<std::string> commandLineArguments(int argc, char** argv)
{
    return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>{};
}

unsigned long currentProcessId()
{
    return static_cast<unsigned long>(::getpid());
}

bool isAdministratorFor(unsigned effectiveUid, const std::vector<std::string>& groupNames)
{
    if (effectiveUid == 0)
        return true;
    return std::any_of(groupNames.begin(), groupNames.end(), [](const std::string& g) {
        return g == "sudo" || g == "wheel" || g == "admin";
    });
}

bool isAdministrator()
{
    std::vector<std::string> names;
    int n = getgroups(0, nullptr);
    std::vector<gid_t> gids(n > 0 ? n : 0);
    if (n > 0)
        n = getgroups(n, gids.data());
    gids.resize(n > 0 ? n : 0);
    gids.push_back(getegid());
    for (gid_t gid : gids) {
        if (const group* g = getgrgid(gid))
            names.emplace_back(g->gr_name);
    }
    return isAdministratorFor(geteuid(), names);
}

InstanceLockResult acquireInstanceLock(const std::string& name)
{
    const char* folder = ::access("/run/lock", W_OK) == 0 ? "/run/lock" : "/tmp";
    std::string path = std::string(folder) + "/" + name + ".lock";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return InstanceLockResult::Unavailable;
    ::fchmod(fd, 0666); // any user's instance must be able to take the lock later
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        ::close(fd);
        return err == EWOULDBLOCK ? InstanceLockResult::AlreadyRunning : InstanceLockResult::Unavailable;
    }
    // The descriptor stays open (and the lock held) until the process ends.
    return InstanceLockResult::Acquired;
}

bool displayAvailable()
{
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (wayland && *wayland)
        return true;
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display)
        return false;
    if (display[0] != ':')
        return true; // a remote display: let the platform plugin try it
    int number = std::atoi(display + 1);
    std::string socketPath = "/tmp/.X11-unix/X" + std::to_string(number);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (!ok) {
        // An abstract socket of the same name is what many X servers also offer.
        sockaddr_un abs{};
        abs.sun_family = AF_UNIX;
        std::memcpy(abs.sun_path + 1, socketPath.c_str(),
                    std::min(socketPath.size(), sizeof abs.sun_path - 2));
        socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + socketPath.size());
        ok = ::connect(fd, reinterpret_cast<sockaddr*>(&abs), len) == 0;
    }
    ::close(fd);
    return ok;
}

namespace {
int g_signalPipe[2] = {-1, -1};

extern "C" void onTerminationSignal(int)
{
    int saved = errno;
    char b = 1;
    [[maybe_unused]] auto r = ::write(g_signalPipe[1], &b, 1);
    errno = saved;
}
} // namespace

int terminationSignalFd()
{
    if (g_signalPipe[0] >= 0)
        return g_signalPipe[0];
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    struct sigaction sa {};
    sa.sa_handler = onTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    return g_signalPipe[0];
}

void drainTerminationSignalFd(int fd)
{
    char buf[64];
    while (::read(fd, buf, sizeof buf) > 0) {
    }
}

} // namespace kx::platform
