#include "platform/posix/Spawn.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kx::platform::posix {

int runProgram(const std::vector<std::string>& args, std::string* output, std::string* error)
{
    if (args.empty())
        return -1;
    int pipeFds[2] = {-1, -1};
    if (output && ::pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output) {
        // A question asked of a tool: its answer is read, its complaints are not wanted.
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    std::string out;
    if (output) {
        ::close(pipeFds[1]);
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
    }
    if (rc != 0) {
        if (error)
            *error = args[0] + ": " + std::strerror(rc);
        return -1;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (output)
        *output = out;
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace kx::platform::posix
