#pragma once
// An X server of the test's own (Xvfb, 1024 x 768) on a display number it picks itself; the test
// process runs its QApplication on it through the xcb platform. The server never outlives the test.
#include <QApplication>
#include <QTest>

#include <cerrno>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

class PrivateXvfb {
public:
    PrivateXvfb() = default;
    ~PrivateXvfb() { stop(); }
    PrivateXvfb(const PrivateXvfb&) = delete;
    PrivateXvfb& operator=(const PrivateXvfb&) = delete;

    // Starts the server and points DISPLAY and QT_QPA_PLATFORM at it; false when it did not start.
    bool start()
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            const int display = startOnce();
            if (display >= 0) {
                const std::string name = ":" + std::to_string(display);
                ::setenv("DISPLAY", name.c_str(), 1);
                ::setenv("QT_QPA_PLATFORM", "xcb", 1);
                return true;
            }
            stop();
        }
        return false;
    }

    void stop()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            pid_ = 0;
        }
    }

private:
    int startOnce()
    {
        int fds[2];
        if (::pipe(fds) != 0)
            return -1;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlive the test
            ::close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        // The server writes the number and a line break once it accepts connections.
        std::string text;
        char c = 0;
        for (;;) {
            const ssize_t n = ::read(fds[0], &c, 1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0 || c == '\n')
                break;
            text += c;
        }
        ::close(fds[0]);
        if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
            return -1;
        return std::atoi(text.c_str());
    }

    pid_t pid_ = 0;
};

// Runs a QTest object on a private X server: starts Xvfb, creates the application (prepared by
// `prepare`), runs the test and returns its exit status; 1 when Xvfb did not start.
template <typename Test, typename Prepare>
int runOnPrivateXvfb(int argc, char** argv, Prepare prepare)
{
    PrivateXvfb xvfb;
    if (!xvfb.start()) {
        std::fprintf(stderr, "Xvfb could not be started\n");
        return 1;
    }
    QApplication app(argc, argv);
    prepare(app);
    Test test;
    return QTest::qExec(&test, argc, argv);
}
