#include "Harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace kx::test {
namespace {

bool iequals(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Parses a head; returns the header end position or npos.
std::size_t parseHead(const std::string& data, HttpReply& reply)
{
    auto end = data.find("\r\n\r\n");
    if (end == std::string::npos)
        return end;
    std::istringstream in(data.substr(0, end));
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    reply.statusLine = line;
    auto sp = line.find(' ');
    reply.status = sp == std::string::npos ? 0 : std::atoi(line.c_str() + sp + 1);
    reply.headers.clear();
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ')
            value.erase(0, 1);
        reply.headers.emplace_back(line.substr(0, colon), value);
    }
    return end + 4;
}

} // namespace

std::string HttpReply::header(const std::string& name) const
{
    for (const auto& [n, v] : headers)
        if (iequals(n, name))
            return v;
    return "";
}

std::vector<std::string> HttpReply::headerNames() const
{
    std::vector<std::string> names;
    for (const auto& h : headers)
        names.push_back(h.first);
    return names;
}

Connection::Connection(unsigned short port, bool ipv6)
{
    fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return;
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int rc;
    if (ipv6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        a.sin6_addr = in6addr_loopback;
        rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (rc != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

Connection::~Connection()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool Connection::send(const std::string& bytes)
{
    std::size_t sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return fd_ >= 0;
}

HttpReply Connection::read(bool headOnly, std::chrono::milliseconds timeout)
{
    HttpReply reply;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string& data = pending_;
    bool eof = false;
    while (true) {
        std::size_t bodyStart = parseHead(data, reply);
        if (bodyStart != std::string::npos) {
            std::string lengthText = reply.header("Content-Length");
            std::size_t length = headOnly || lengthText.empty() ? 0 : std::stoull(lengthText);
            bool untilClose = !headOnly && lengthText.empty();
            if ((!untilClose && data.size() >= bodyStart + length) || (untilClose && eof)) {
                std::size_t total = untilClose ? data.size() : bodyStart + length;
                reply.body = data.substr(bodyStart, total - bodyStart);
                reply.raw = data.substr(0, total);
                data.erase(0, total);
                reply.ok = true;
                return reply;
            }
        }
        if (eof || fd_ < 0)
            return reply;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return reply;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return reply;
        char buf[65536];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0)
            eof = true;
        else
            data.append(buf, static_cast<std::size_t>(n));
    }
}

bool Connection::closedByPeer(std::chrono::milliseconds timeout)
{
    if (fd_ < 0)
        return true;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char buf[4096];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0)
            return true;
        pending_.append(buf, static_cast<std::size_t>(n));
    }
}

HttpReply rawRequest(unsigned short port, const std::string& bytes, bool headOnly)
{
    Connection c(port);
    if (!c.connected() || !c.send(bytes))
        return {};
    return c.read(headOnly);
}

HttpReply get(unsigned short port, const std::string& target)
{
    return rawRequest(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

HttpReply postForm(unsigned short port, const std::string& target, const std::string& body,
                   const std::string& contentType)
{
    return rawRequest(port, "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                                "Content-Type: " + contentType + "\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body);
}

namespace {

// A socket bound to 127.0.0.1:port (0: any free port); -1 when the port is taken.
int bindLoopback(unsigned short port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

unsigned short freePort()
{
    // The companion service listens two ports above the service: both must be free, or a test
    // that stands in for the companion fails to bind when another process took that port.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = bindLoopback(0);
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        const unsigned short port = ntohs(a.sin_port);
        const int companion = port < 65534 ? bindLoopback(static_cast<unsigned short>(port + 2)) : -1;
        ::close(fd);
        if (companion >= 0) {
            ::close(companion);
            return port;
        }
    }
    throw std::runtime_error("no free pair of loopback ports");
}

std::string todayLogFileName()
{
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d-%02d-%02d.txt", tm.tm_year % 100, tm.tm_mon + 1, tm.tm_mday);
    return buf;
}

ProgramFolder::ProgramFolder()
{
    char tmpl[] = "/tmp/kx-e2e-XXXXXX";
    path_ = ::mkdtemp(tmpl);
    fs::copy_file(KX_BINARY, path_ + "/KestrixAssistant");
    fs::permissions(path_ + "/KestrixAssistant", fs::perms::owner_all, fs::perm_options::add);
    fs::create_directories(path_ + "/conf");
    for (const char* rel : {"data/text/json2.txt", "data/img/gif/loading.gif"}) {
        fs::path src = fs::path(KX_DEMO_PROGRAM_DIR) / rel;
        if (fs::exists(src)) {
            fs::create_directories(fs::path(path_ + "/" + rel).parent_path());
            fs::copy_file(src, path_ + "/" + rel);
        }
    }
    // The client does not start without its signing library.
    installModule("libsign_echo.so", "comp/common/ca/libCA.so");
    port_ = freePort();
    writeFile("conf/sys.ini", "[HTTP]\r\nserver.ip=127.0.0.1\r\nserver.port=" + std::to_string(port_) + "\r\n");
}

ProgramFolder::~ProgramFolder()
{
    if (pid_ > 0)
        stop();
    if (::testing::Test::HasFailure())
        std::cerr << "---- output of the program in " << path_ << " ----\n" << output() << "\n----\n";
    if (!std::getenv("KX_KEEP_TEST_FOLDERS")) {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
}

void ProgramFolder::installModule(const std::string& testModule, const std::string& relative) const
{
    fs::create_directories(fs::path(file(relative)).parent_path());
    fs::copy_file(fs::path(KX_TEST_MODULE_DIR) / testModule, file(relative), fs::copy_options::overwrite_existing);
}

std::string ProgramFolder::file(const std::string& relative) const
{
    return path_ + "/" + relative;
}

void ProgramFolder::writeFile(const std::string& relative, const std::string& content) const
{
    fs::create_directories(fs::path(file(relative)).parent_path());
    std::ofstream out(file(relative), std::ios::binary | std::ios::trunc);
    out << content;
}

std::string ProgramFolder::readFile(const std::string& relative) const
{
    std::ifstream in(file(relative), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool ProgramFolder::exists(const std::string& relative) const
{
    return fs::exists(file(relative));
}

void ProgramFolder::launch()
{
    const std::string out = path_ + "/.output.txt";
    pid_t pid = ::fork();
    if (pid == 0) {
        int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        ::unsetenv("DISPLAY");
        // In sanitizer builds: what the signing library's runtime holds until exit is no leak.
        const char* lsan = std::getenv("LSAN_OPTIONS");
        std::string lsanOptions = lsan ? lsan : "";
        if (lsanOptions.find("suppressions=") == std::string::npos)
            ::setenv("LSAN_OPTIONS", (lsanOptions + (lsanOptions.empty() ? "" : ":") +
                                      "suppressions=" KX_LSAN_SUPPRESSIONS).c_str(), 1);
        ::unsetenv("WAYLAND_DISPLAY");
        if (descriptorLimit_.second != 0) {
            rlimit limit{descriptorLimit_.first, descriptorLimit_.second};
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
        std::string exe = path_ + "/KestrixAssistant";
        ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    pid_ = pid;
    exitStatus_ = -1;
}

bool ProgramFolder::running()
{
    if (pid_ <= 0)
        return false;
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
        return false;
    }
    return true;
}

bool ProgramFolder::start()
{
    launch();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!running())
            return false;
        HttpReply r = get(port_, "/heart");
        if (r.ok && r.status == 200)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int ProgramFolder::waitExit(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return exitStatus_;
}

void ProgramFolder::signal(int sig)
{
    if (pid_ > 0)
        ::kill(pid_, sig);
}

int ProgramFolder::stop()
{
    if (pid_ <= 0)
        return exitStatus_;
    get(port_, "/appctrl?cmd=1");
    int status = waitExit(std::chrono::seconds(10));
    if (status == -1) {
        signal(SIGTERM);
        status = waitExit(std::chrono::seconds(10));
    }
    if (status == -1) {
        signal(SIGKILL);
        status = waitExit(std::chrono::seconds(10));
    }
    return status;
}

std::string ProgramFolder::output() const
{
    std::ifstream in(path_ + "/.output.txt", std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace kx::test
