#include "platform/ProgramProcesses.h"

#include "platform/posix/Spawn.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kx::platform {
namespace {

namespace fs = std::filesystem;

std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A process that has ended but was not yet reaped by its parent (state "Z") counts as ended.
bool processAlive(unsigned long pid)
{
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
        return false;
    const std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size())
        return !stat.empty();
    return stat[close + 2] != 'Z';
}

std::string resolved(const std::string& path, bool folder)
{
    char buf[PATH_MAX];
    if (!::realpath(path.c_str(), buf))
        return "";
    struct stat st {};
    if (::stat(buf, &st) != 0 || (folder ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)))
        return "";
    return buf;
}

// The names a graphical program needs from its session, read from a process of that session.
bool sessionVariable(std::string_view entry)
{
    static constexpr std::string_view names[] = {
        "DISPLAY=", "WAYLAND_DISPLAY=", "XDG_RUNTIME_DIR=", "DBUS_SESSION_BUS_ADDRESS=", "XAUTHORITY=", "HOME=",
        "USER=", "LOGNAME=", "LANG=", "LANGUAGE=", "PATH=", "XDG_SESSION_TYPE=", "XDG_CURRENT_DESKTOP=", "LC_"};
    for (std::string_view n : names)
        if (entry.substr(0, n.size()) == n)
            return true;
    return false;
}

// Writes errno to the pipe and ends the child; for failures between fork and exec.
[[noreturn]] void childFailed(int fd, const char* step)
{
    const int err = errno;
    char msg[128];
    const int n = std::snprintf(msg, sizeof msg, "E%s: %s", step, std::strerror(err));
    if (n > 0 && ::write(fd, msg, static_cast<std::size_t>(n)) < 0) {
    }
    ::_exit(127);
}

} // namespace

std::vector<unsigned long> processesOfProgram(const std::string& program)
{
    std::vector<unsigned long> pids;
    const std::string wanted = resolved(program, false);
    if (wanted.empty())
        return pids;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        char buf[PATH_MAX];
        const ssize_t n = ::readlink(("/proc/" + name + "/exe").c_str(), buf, sizeof buf - 1);
        if (n <= 0)
            continue;
        if (std::string(buf, static_cast<std::size_t>(n)) == wanted && processAlive(std::stoul(name)))
            pids.push_back(std::stoul(name));
    }
    return pids;
}

bool waitForProcessEnd(unsigned long pid, std::chrono::milliseconds timeout)
{
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (processAlive(pid)) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

bool terminateProcess(unsigned long pid)
{
    if (::kill(static_cast<pid_t>(pid), SIGKILL) != 0 && errno != ESRCH)
        return false;
    return waitForProcessEnd(pid, std::chrono::seconds(5));
}

std::optional<UserSession> sessionOfProcess(unsigned long pid)
{
    const std::string base = "/proc/" + std::to_string(pid);
    const std::string status = readText(base + "/status");
    UserSession s;
    bool uid = false, gid = false;
    std::size_t at = 0;
    while (at < status.size()) {
        const std::size_t end = std::min(status.find('\n', at), status.size());
        const std::string line = status.substr(at, end - at);
        // "Uid:\treal\teffective\t...": the effective ids are what the process runs as.
        unsigned long real = 0, effective = 0;
        if (std::sscanf(line.c_str(), "Uid: %lu %lu", &real, &effective) == 2)
            s.uid = static_cast<unsigned>(effective), uid = true;
        else if (std::sscanf(line.c_str(), "Gid: %lu %lu", &real, &effective) == 2)
            s.gid = static_cast<unsigned>(effective), gid = true;
        at = end + 1;
    }
    if (!uid || !gid)
        return std::nullopt;
    const std::string environ = readText(base + "/environ");
    std::string display;
    for (std::size_t i = 0; i < environ.size();) {
        const std::size_t end = std::min(environ.find('\0', i), environ.size());
        const std::string entry = environ.substr(i, end - i);
        if (sessionVariable(entry))
            s.environment.push_back(entry);
        if (entry.rfind("DISPLAY=", 0) == 0 || entry.rfind("WAYLAND_DISPLAY=", 0) == 0)
            display = entry;
        i = end + 1;
    }
    s.description = "用户 " + std::to_string(s.uid) + (display.empty() ? "" : "（" + display + "）");
    return s;
}

std::optional<UserSession> activeUserSession()
{
    // Nothing here tells which graphical session is the user's without a session manager's help;
    // the companion starts the assistant in the session it found it in.
    return std::nullopt;
}

std::optional<unsigned long> startProgramInSession(const std::string& program, const UserSession* session,
                                                   std::string& error)
{
    // The program is started by a grandchild of this process, in a session of its own, so that it
    // is nobody's child here (no zombie to reap) and outlives this process.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return std::nullopt;
    }
    const std::string folder = fs::path(program).parent_path().string();
    std::vector<std::string> env;
    if (session && !session->environment.empty())
        env = session->environment;
    else
        for (char** e = ::environ; *e; ++e)
            env.emplace_back(*e);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const bool switchUser = session && ::geteuid() == 0 && session->uid != 0;
    std::string userName;
    if (switchUser) {
        if (const passwd* pw = ::getpwuid(session->uid))
            userName = pw->pw_name;
    }

    const pid_t child = ::fork();
    if (child < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        ::close(report[0]);
        ::close(report[1]);
        return std::nullopt;
    }
    if (child == 0) {
        ::close(report[0]);
        if (::setsid() < 0)
            childFailed(report[1], "setsid");
        const pid_t grandchild = ::fork();
        if (grandchild < 0)
            childFailed(report[1], "fork");
        if (grandchild > 0) {
            // The grandchild's id first, then (from the grandchild) an error if exec fails.
            char record[1 + sizeof(unsigned long)] = {'P'};
            const unsigned long id = static_cast<unsigned long>(grandchild);
            std::memcpy(record + 1, &id, sizeof id);
            if (::write(report[1], record, sizeof record) < 0) {
            }
            ::_exit(0);
        }
        if (switchUser) {
            if ((userName.empty() ? ::setgroups(0, nullptr) : ::initgroups(userName.c_str(), session->gid)) != 0)
                childFailed(report[1], "initgroups");
            if (::setgid(session->gid) != 0)
                childFailed(report[1], "setgid");
            if (::setuid(session->uid) != 0)
                childFailed(report[1], "setuid");
        }
        if (::chdir(folder.c_str()) != 0)
            childFailed(report[1], "chdir");
        const int devnull = ::open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            ::dup2(devnull, STDIN_FILENO);
            ::dup2(devnull, STDOUT_FILENO);
            ::dup2(devnull, STDERR_FILENO);
        }
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        ::execve(program.c_str(), argv, envp.data());
        childFailed(report[1], "execve");
    }
    ::close(report[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // "P" and the started program's id; "E" and the reason when a step failed.
    std::string reply;
    char buf[256];
    ssize_t n = 0;
    while ((n = ::read(report[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            reply.append(buf, static_cast<std::size_t>(n));
    unsigned long id = 0;
    std::string message;
    std::size_t at = 0;
    if (reply.size() >= 1 + sizeof id && reply[0] == 'P') {
        std::memcpy(&id, reply.data() + 1, sizeof id);
        at = 1 + sizeof id;
    }
    if (at < reply.size())
        message = reply.substr(at + 1);
    ::close(report[0]);
    if (id == 0 || !message.empty()) {
        error = message.empty() ? "the program could not be started" : message;
        return std::nullopt;
    }
    return id;
}

std::optional<int> runProgramAndWait(const std::string& program, const std::vector<std::string>& arguments,
                                     std::string& error)
{
    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    const int code = posix::runProgram(args, nullptr, &error);
    if (code < 0)
        return std::nullopt;
    return code;
}

std::string resolvedFilePath(const std::string& path)
{
    return resolved(path, false);
}

std::string resolvedFolderPath(const std::string& path)
{
    return resolved(path, true);
}

} // namespace kx::platform
