// The whole road of an installer through the real binary on a virtual display, where the update
// question is a real message box that the test answers with Yes: the update server's installer is
// stored under download/, and the companion service is asked to install it, with the blanks of
// its path sent as %20. Skipped when Xvfb or xdotool is missing.
#include "Harness.h"

#include "../common/LoopbackHttpServer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;
using namespace kx::test;

namespace {

bool onPath(const char* program)
{
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

std::string run(const std::string& command)
{
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        std::array<char, 256> buf;
        while (std::fgets(buf.data(), buf.size(), p))
            out += buf.data();
        ::pclose(p);
    }
    return out;
}

pid_t spawn(const std::vector<std::string>& args, const std::string& outputFile, const std::string& display)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        const int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        if (!display.empty())
            ::setenv("DISPLAY", display.c_str(), 1);
        ::unsetenv("QT_QPA_PLATFORM");
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::seconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

// Ends a child we started, by its id.
void endChild(pid_t pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

// A private X display for the duration of a test.
class VirtualDisplay {
public:
    VirtualDisplay()
    {
        for (int n = 140 + ::getpid() % 40; n < 240; ++n) {
            if (fs::exists("/tmp/.X11-unix/X" + std::to_string(n)) || fs::exists("/tmp/.X" + std::to_string(n) + "-lock"))
                continue;
            name_ = ":" + std::to_string(n);
            pid_ = spawn({"Xvfb", name_, "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, "/dev/null", "");
            const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
            if (waitFor([&] { return fs::exists(socket); }, std::chrono::seconds(10)))
                return;
            endChild(pid_);
            pid_ = -1;
        }
        name_.clear();
    }
    ~VirtualDisplay() { endChild(pid_); }
    const std::string& name() const { return name_; }

private:
    std::string name_;
    pid_t pid_ = -1;
};

} // namespace

TEST(UpdateHandOver, AcceptedInstallerIsHandedToTheCompanionService)
{
    if (!onPath("Xvfb") || !onPath("xdotool"))
        GTEST_SKIP() << "needs Xvfb and xdotool";
    VirtualDisplay display;
    ASSERT_FALSE(display.name().empty()) << "no virtual display could be started";

    ProgramFolder folder; // its path gets a blank below, like a folder under "Program Files"
    const std::string spaced = folder.path() + "/Kestrix Assistant";
    std::vector<fs::path> entries(fs::directory_iterator(folder.path()), fs::directory_iterator());
    fs::create_directories(spaced + "/conf");
    for (const fs::path& entry : entries) // the binary and what the harness installed beside it
        fs::copy(entry, fs::path(spaced) / entry.filename(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    LoopbackHttpServer companion([](const RecordedRequest&) { return CannedReply{}; }, folder.port() + 2);
    LoopbackHttpServer updates([](const RecordedRequest&) {
        return CannedReply{200, {{"app_name", "setup 2.exe"}}, "installer bytes"};
    });
    std::ofstream(spaced + "/conf/sys.ini") << "[HTTP]\r\nserver.ip=127.0.0.1\r\nserver.port=" << folder.port()
                                           << "\r\nserver.update.url=" << updates.url("/upgrade/app")
                                           << "\r\n[APP]\r\napplication.current.version=1.0\r\n";

    const std::string output = folder.path() + "/handover-output.txt";
    const pid_t program = spawn({spaced + "/KestrixAssistant"}, output, display.name());
    struct Guard {
        pid_t pid;
        bool* ended;
        std::string output;
        ~Guard()
        {
            if (!*ended)
                endChild(pid);
            if (::testing::Test::HasFailure()) {
                std::ifstream log(output, std::ios::binary);
                std::cerr << "---- program output ----\n" << log.rdbuf() << "\n----\n";
            }
        }
    };
    bool ended = false;
    Guard guard{program, &ended, output};
    // (Another copy running on this machine would hold the single-instance lock: the program then
    // shows "程序已经运行" on the display instead of starting, which the window list reveals.)
    ASSERT_TRUE(waitFor([&] { return get(folder.port(), "/heart").status == 200; }, std::chrono::seconds(20)))
        << "windows: " << run("DISPLAY=" + display.name() + " xdotool search --onlyvisible --name . getwindowname %@");

    // The update question appears as a message box; "y" presses its Yes button.
    std::string window;
    ASSERT_TRUE(waitFor([&] {
        window = run("DISPLAY=" + display.name() + " xdotool search --onlyvisible --name '^Kestrix客户端$' 2>/dev/null");
        return !window.empty();
    }, std::chrono::seconds(20)));
    window = window.substr(0, window.find('\n'));
    run("DISPLAY=" + display.name() + " xdotool windowfocus --sync " + window + " key y");

    EXPECT_TRUE(waitFor([&] { return !companion.requests().empty(); }, std::chrono::seconds(20)));
    const std::string installer = spaced + "/download/setup 2.exe";
    std::string encoded;
    for (char c : installer)
        encoded += c == ' ' ? std::string("%20") : std::string(1, c);
    ASSERT_EQ(companion.requests().size(), 1u);
    EXPECT_EQ(companion.requests()[0].method, "POST");
    EXPECT_EQ(companion.requests()[0].target, "/upgradeMainApp?fp=" + encoded);
    EXPECT_EQ(companion.requests()[0].body, "");
    std::ifstream in(installer, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), "installer bytes");

    get(folder.port(), "/appctrl?cmd=1");
    EXPECT_TRUE(waitFor([&] { return ended = ::waitpid(program, nullptr, WNOHANG) == program; },
                        std::chrono::seconds(15)));
}
