#pragma once
// End-to-end harness: the real KestrixAssistant binary copied into a temporary program folder
// with its own port, started as a child process, talked to over loopback sockets.
#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace kx::test {

struct HttpReply {
    bool ok = false;          // a complete reply was read
    std::string statusLine;   // "HTTP/1.1 200 OK"
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers; // in order
    std::string body;
    std::string raw;          // head and body bytes as received

    std::string header(const std::string& name) const; // "" when missing
    std::vector<std::string> headerNames() const;
};

// One client connection to 127.0.0.1:port (or [::1] when ipv6).
class Connection {
public:
    explicit Connection(unsigned short port, bool ipv6 = false);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool connected() const { return fd_ >= 0; }
    bool send(const std::string& bytes);
    // Reads one reply (Content-Length framing; headOnly for replies to HEAD).
    HttpReply read(bool headOnly = false, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // True when the peer closed the connection (reads end of stream) within the timeout.
    bool closedByPeer(std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    int fd_ = -1;
    std::string pending_;
};

// Sends raw request bytes on a fresh connection and reads one reply.
HttpReply rawRequest(unsigned short port, const std::string& bytes, bool headOnly = false);
// GET target with "Connection: close".
HttpReply get(unsigned short port, const std::string& target);
// POST an url-encoded form body.
HttpReply postForm(unsigned short port, const std::string& target, const std::string& body,
                   const std::string& contentType = "application/x-www-form-urlencoded");

// A port that was free a moment ago on 127.0.0.1, with the companion service's port (two above it)
// free as well.
unsigned short freePort();

class ProgramFolder {
public:
    // Creates the folder with the binary, conf/sys.ini naming a free port, and the demo data files.
    ProgramFolder();
    ~ProgramFolder();
    ProgramFolder(const ProgramFolder&) = delete;
    ProgramFolder& operator=(const ProgramFolder&) = delete;

    const std::string& path() const { return path_; }
    unsigned short port() const { return port_; }
    std::string file(const std::string& relative) const; // full path
    void writeFile(const std::string& relative, const std::string& content) const;
    std::string readFile(const std::string& relative) const;
    bool exists(const std::string& relative) const;
    // Copies a test module library (file name in the test module folder) to relative.
    void installModule(const std::string& testModule, const std::string& relative) const;
    // Replaces conf/sys.ini (the port is no longer written for you).
    void writeSysIni(const std::string& content) const { writeFile("conf/sys.ini", content); }

    // The descriptor limits (soft, hard) the program inherits from the next start on.
    void setDescriptorLimit(unsigned long soft, unsigned long hard) { descriptorLimit_ = {soft, hard}; }
    // Starts the binary and waits until it answers /heart (false on time-out or early exit).
    bool start();
    // Starts the binary without waiting.
    void launch();
    bool running();
    // Waits for the process to end; its exit status, or -1 on time-out.
    int waitExit(std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // Asks the process to exit through /appctrl?cmd=1, then SIGTERM, then SIGKILL; the exit status.
    int stop();
    void signal(int sig);
    // What the process wrote to standard output and standard error.
    std::string output() const;
    int pid() const { return pid_; }

private:
    std::string path_;
    unsigned short port_ = 0;
    int pid_ = -1;
    int exitStatus_ = -1;
    std::pair<unsigned long, unsigned long> descriptorLimit_{0, 0}; // 0: inherit the test's own
};

std::string todayLogFileName();

} // namespace kx::test
