// The companion program with the real assistant: a restart request ends the running assistant
// through its own service (its exit routine writes the run log) and starts a new one, which
// answers again; a web page's request is refused and restarts nothing.
#include "Harness.h"

#include "platform/ProgramProcesses.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string_view>
#include <thread>

namespace fs = std::filesystem;
using namespace kx::test;

namespace {

// KxService in the program folder, run in the foreground as a child of the test.
class Companion {
public:
    // extraPath: a folder searched first for the programs the companion runs (stand-ins).
    explicit Companion(const ProgramFolder& folder, const std::string& extraPath = "") : folder_(folder)
    {
        fs::copy_file(KX_COMPANION_BINARY, folder.file("KxService"));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, folder.file("companion.out").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        const std::string program = folder.file("KxService");
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (extraPath.empty() || std::string_view(*e).substr(0, 5) != "PATH=")
                env.emplace_back(*e);
        if (!extraPath.empty())
            env.push_back("PATH=" + extraPath + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin"));
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Companion() { stop(); }

    unsigned short port() const { return static_cast<unsigned short>(folder_.port() + 2); }
    bool answers()
    {
        for (int i = 0; i < 200; ++i) {
            if (rawRequest(port(), "POST /x HTTP/1.1\r\nContent-Length: 0\r\n\r\n").ok)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    HttpReply post(const std::string& target, const std::string& headers = "")
    {
        return rawRequest(port(), "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers +
                                      "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 0\r\n"
                                      "Connection: close\r\n\r\n");
    }
    // SIGTERM, as systemd stops a unit; the exit status.
    int stop()
    {
        if (pid_ <= 0)
            return -1;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    const ProgramFolder& folder_;
    pid_t pid_ = -1;
};

std::string serviceLog(const ProgramFolder& folder)
{
    std::string all;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder.file("log"), ec))
        if (entry.path().filename().string().rfind("service-", 0) == 0)
            all += folder.readFile("log/" + entry.path().filename().string());
    return all;
}

// The processes of the folder's assistant once one of them answers (at most 30 s).
std::vector<unsigned long> assistantsAnswering(const ProgramFolder& folder)
{
    std::vector<unsigned long> now;
    for (int i = 0; i < 300 && (now.empty() || !get(folder.port(), "/heart").ok); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        now = kx::platform::processesOfProgram(folder.file("KestrixAssistant"));
    }
    return now;
}

} // namespace

TEST(Companion, RestartsTheAssistantAndRefusesWebPages)
{
    ProgramFolder folder;
    ASSERT_TRUE(folder.start()) << folder.output();
    const int first = folder.pid();
    Companion companion(folder);
    ASSERT_TRUE(companion.answers());

    EXPECT_EQ(companion.post("/controlMainApp?ct=2", "Origin: https://shop.example\r\n").status, 403);
    EXPECT_TRUE(folder.running()) << "a page's request restarts nothing";

    EXPECT_EQ(companion.post("/controlMainApp?ct=2").status, 200);
    EXPECT_EQ(folder.waitExit(std::chrono::seconds(40)), 0) << "the old assistant ran its exit routine";
    EXPECT_TRUE(folder.exists("log/" + todayLogFileName())) << "and wrote its run log";

    // The new one runs from the same program folder and answers.
    const std::vector<unsigned long> now = assistantsAnswering(folder);
    ASSERT_EQ(now.size(), 1u) << serviceLog(folder);
    EXPECT_NE(now.front(), static_cast<unsigned long>(first));
    EXPECT_TRUE(get(folder.port(), "/heart").ok);

    const std::string log = serviceLog(folder);
    EXPECT_NE(log.find("已拒绝"), std::string::npos) << log;
    EXPECT_NE(log.find("客户端已退出（进程 " + std::to_string(first) + "）"), std::string::npos) << log;
    EXPECT_NE(log.find("已启动客户端（进程 " + std::to_string(now.front())), std::string::npos) << log;

    // The restarted assistant is nobody's child here: it is ended through its own service.
    get(folder.port(), "/appctrl?cmd=1");
    EXPECT_TRUE(kx::platform::waitForProcessEnd(now.front(), std::chrono::seconds(20)));
    EXPECT_EQ(companion.stop(), 0);
    EXPECT_NE(serviceLog(folder).find("服务已停止"), std::string::npos);
}

TEST(Companion, InstallsAnUpdatePackageThroughAptInAUnitOfItsOwn)
{
    ProgramFolder folder;
    // A stand-in for systemd-run: records how it was called and installs the "package" by
    // writing the new version, as the package's scripts do.
    const std::string bin = folder.file("standin");
    fs::create_directories(bin);
    folder.writeFile("standin/systemd-run",
                     "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + folder.file("systemd-run.args") + "'\n"
                     "exec '" + folder.file("KxService") + "' --writeSysIni APP application.current.version 1.0.1\n");
    fs::permissions(folder.file("standin/systemd-run"), fs::perms::owner_all);

    ASSERT_TRUE(folder.start()) << folder.output(); // (its start-up empties download/)
    const int first = folder.pid();
    // The update package as the assistant leaves it in download/ (no update key: unsigned).
    const std::string pkg = folder.file("pkg");
    fs::create_directories(pkg + "/DEBIAN");
    std::ofstream(pkg + "/DEBIAN/control") << "Package: kestrix-assistant\nVersion: 1.0.1\nArchitecture: all\n"
                                               "Maintainer: Test <test@example.com>\nDescription: test\n";
    const std::string deb = folder.file("download/kestrix-assistant_1.0.1_all.deb");
    fs::create_directories(folder.file("download"));
    ASSERT_EQ(std::system(("dpkg-deb --root-owner-group --build '" + pkg + "' '" + deb + "' >/dev/null 2>&1").c_str()), 0);

    Companion companion(folder, bin);
    ASSERT_TRUE(companion.answers());
    EXPECT_EQ(companion.post("/upgradeMainApp?fp=" + deb).status, 200) << serviceLog(folder);
    EXPECT_EQ(folder.waitExit(std::chrono::seconds(40)), 0);

    const std::vector<unsigned long> now = assistantsAnswering(folder);
    ASSERT_EQ(now.size(), 1u) << serviceLog(folder);
    EXPECT_NE(now.front(), static_cast<unsigned long>(first));

    // apt ran in a transient unit that systemd waits for, on the checked copy, after finishing
    // whatever an interrupted dpkg left.
    const std::string args = folder.readFile("systemd-run.args");
    for (const char* expected : {"--wait\n", "--collect\n", "dpkg --configure -a", "apt-get install -y"})
        EXPECT_NE(args.find(expected), std::string::npos) << expected << " in\n" << args;
    EXPECT_NE(args.find(folder.file(".companion/installer/kestrix-assistant_1.0.1_all.deb")), std::string::npos) << args;
    const std::string log = serviceLog(folder);
    EXPECT_NE(log.find("客户端版本：1.0.1"), std::string::npos) << log;
    EXPECT_FALSE(folder.exists(".companion/resume.txt"));

    get(folder.port(), "/appctrl?cmd=1");
    EXPECT_TRUE(kx::platform::waitForProcessEnd(now.front(), std::chrono::seconds(20)));
    EXPECT_EQ(companion.stop(), 0);
}
