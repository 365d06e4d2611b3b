// A page in headless Chromium calls the client the way business pages do: a hidden frame loads
// "/print" and posts the module's answer to the page, and a JSONP script calls back from "/heart".
// The page itself comes from a small HTTP server of this test on another loopback port.
#include "Harness.h"

#include "bridge/CompactJson.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

using namespace kx;
using namespace kx::test;

namespace {

// Serves one page at "/" (404 for anything else) on 127.0.0.1 and a port of its own.
class PageServer {
public:
    explicit PageServer(std::string page) : page_(std::move(page))
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd_, 16);
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~PageServer()
    {
        stopping_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        thread_.join();
    }
    unsigned short port() const { return port_; }

private:
    void serve()
    {
        while (!stopping_) {
            int client = ::accept(fd_, nullptr, nullptr);
            if (client < 0)
                return;
            std::string request;
            char buf[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                ssize_t n = ::recv(client, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                request.append(buf, static_cast<std::size_t>(n));
            }
            const bool root = request.rfind("GET / ", 0) == 0;
            const std::string body = root ? page_ : "not found";
            const std::string reply = std::string(root ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 404 Not Found\r\n") +
                                      "Content-Type: text/html; charset=utf-8\r\nConnection: close\r\n"
                                      "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
            ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
            ::close(client);
        }
    }

    std::string page_;
    int fd_ = -1;
    unsigned short port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// Serves one page over HTTPS with a self-signed certificate made for the test, through
// "openssl s_server -WWW" on 127.0.0.1 (the page is at "/page.html").
class HttpsPageServer {
public:
    explicit HttpsPageServer(const std::string& page)
    {
        char tmpl[] = "/tmp/kx-https-page-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        std::ofstream(dir_ + "/page.html") << page;
        const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout '" +
                                 dir_ + "/key.pem' -out '" + dir_ + "/cert.pem' >/dev/null 2>&1";
        if (std::system(make.c_str()) != 0)
            return;
        port_ = freePort();
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::chdir(dir_.c_str()) != 0)
                ::_exit(127);
            int devnull = ::open("/dev/null", O_RDWR);
            ::dup2(devnull, 0);
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
            const std::string accept = "127.0.0.1:" + std::to_string(port_);
            ::execlp("openssl", "openssl", "s_server", "-quiet", "-WWW", "-accept", accept.c_str(), "-cert",
                     "cert.pem", "-key", "key.pem", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 200 && !ready_; ++i) {
            int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(port_);
            ready_ = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            ::close(fd);
            if (!ready_)
                std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    }
    ~HttpsPageServer()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        std::filesystem::remove_all(dir_);
    }
    bool ready() const { return ready_; }
    unsigned short port() const { return port_; }

private:
    std::string dir_;
    pid_t pid_ = -1;
    unsigned short port_ = 0;
    bool ready_ = false;
};

// Runs headless Chromium on the URL and gives the DOM it dumps ("" when it does not finish).
// extraArgs go on Chromium's command line. With policyFolder set, Chromium runs in a private mount
// namespace where that folder stands in for /etc/chromium, so it reads the managed policies
// written there and nothing of the machine's own.
std::string dumpDom(const std::string& url, const std::vector<std::string>& extraArgs = {},
                    const std::string& policyFolder = "")
{
    char tmpl[] = "/tmp/kx-chromium-XXXXXX";
    const std::string profile = ::mkdtemp(tmpl);
    const std::string out = profile + "/dom.html";
    std::vector<std::string> args;
    if (!policyFolder.empty())
        args = {"unshare", "-m", "sh", "-c", "mount --bind \"$0\" /etc/chromium && exec \"$@\"", policyFolder};
    for (const char* a : {"chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
                          "--no-first-run", "--disable-background-networking", "--disable-component-update",
                          "--disable-sync", "--virtual-time-budget=10000"})
        args.emplace_back(a);
    args.push_back("--user-data-dir=" + profile + "/profile");
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    args.insert(args.end(), {"--dump-dom", url});
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 1);
        int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 2);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    bool ended = false;
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            ended = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    std::ifstream in(out);
    std::stringstream dom;
    dom << in.rdbuf();
    std::filesystem::remove_all(profile);
    return ended ? dom.str() : std::string();
}

std::string htmlUnescape(std::string text)
{
    for (const auto& [entity, ch] : {std::pair{"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&amp;", "&"}}) {
        for (std::size_t at = text.find(entity); at != std::string::npos; at = text.find(entity, at + 1))
            text.replace(at, std::string(entity).size(), ch);
    }
    return text;
}

// The page's title, where the test pages write what they received as JSON.
std::optional<Json> titleJson(const std::string& dom)
{
    const auto open = dom.find("<title>");
    const auto close = dom.find("</title>");
    if (open == std::string::npos || close == std::string::npos)
        return std::nullopt;
    return parseStrictJson(htmlUnescape(dom.substr(open + 7, close - open - 7)));
}

// Runs a command through the shell; its standard output and error, and whether it exited with 0.
std::pair<bool, std::string> runCommand(const std::string& command)
{
    std::string output;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return {false, "popen failed"};
    char buf[512];
    while (std::fgets(buf, sizeof buf, pipe))
        output += buf;
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) && WEXITSTATUS(status) == 0, output};
}

// A page that calls "/print" in a hidden frame and "/heart" by JSONP, and writes what it received
// (and whether the script failed to load) into its title.
std::string callingPage(const std::string& service, bool sendOrigin = false)
{
    const std::string policy = sendOrigin ? "frame.referrerPolicy = s.referrerPolicy = \"origin\";\n" : "";
    return R"(<!DOCTYPE html><html><head><meta charset="utf-8"><title>{}</title></head><body><script>
var got = {};
function show() { document.title = JSON.stringify(got); }
function alive(code) { got.heart = code; show(); }
window.addEventListener("message", function (e) { got.print = JSON.parse(e.data); show(); });
var frame = document.createElement("iframe");
var s = document.createElement("script");
)" + policy + R"(frame.style.display = "none";
frame.src = ")" + service + R"(/print?id=9&func=echo&payload=" + btoa(JSON.stringify({config: {appId: "7"}, data: [{n: 1}]}));
document.body.appendChild(frame);
s.onerror = function () { got.scriptFailed = true; show(); };
s.src = ")" + service + R"(/heart?jsonp=alive";
document.body.appendChild(s);
</script></body></html>)";
}

} // namespace

TEST(BridgeBrowser, PageReceivesThePostedResultAndTheCallback)
{
    if (std::system("command -v chromium >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "chromium is not installed (scripts/setup-debian.sh installs it)";

    ProgramFolder folder;
    folder.installModule("libc_module.so", "comp/print/libc_module.so");
    folder.writeFile("conf/dll.ini", "[MODULE-DLLPATH]\r\nprint=comp\\print\\libc_module.so\r\n[MODULE-LANG]\r\nprint=c\r\n");
    folder.writeFile("data/text/json2.txt", "window.prefixRan=true;\r\n");
    ASSERT_TRUE(folder.start()) << folder.output();

    // The first call loads the module; in slow (sanitizer) builds that could outlast the page's time.
    const HttpReply first = get(folder.port(), "/print?func=hello");
    ASSERT_EQ(first.status, 200) << first.body;
    const std::string service = "http://127.0.0.1:" + std::to_string(folder.port());
    PageServer server(R"(<!DOCTYPE html><html><head><meta charset="utf-8"><title>waiting</title></head><body><script>
var got = {};
function show() { document.title = JSON.stringify(got); }
function alive(code) { got.heart = code; show(); }
window.addEventListener("message", function (e) { got.origin = e.origin; got.print = JSON.parse(e.data); show(); });
var doc = JSON.stringify({config: {appId: "7"}, data: [{text: "中文 +/="}]});
var frame = document.createElement("iframe");
frame.style.display = "none";
frame.src = ")" + service + R"(/print?id=42&func=echo&payload=" + encodeURIComponent(btoa(unescape(encodeURIComponent(doc))));
document.body.appendChild(frame);
var s = document.createElement("script");
s.src = ")" + service + R"(/heart?jsonp=alive";
document.body.appendChild(s);
</script></body></html>)");

    const std::string dom = dumpDom("http://127.0.0.1:" + std::to_string(server.port()) + "/");
    const auto open = dom.find("<title>");
    const auto close = dom.find("</title>");
    ASSERT_TRUE(open != std::string::npos && close != std::string::npos) << dom;
    const std::string title = htmlUnescape(dom.substr(open + 7, close - open - 7));
    auto got = parseStrictJson(title);
    ASSERT_TRUE(got && got->is_object()) << title;
    EXPECT_EQ(got->value("heart", -1), 0) << title;
    EXPECT_EQ(got->value("origin", ""), service) << title;
    ASSERT_TRUE(got->contains("print")) << title;
    const Json& print = (*got)["print"];
    EXPECT_EQ(print.value("id", ""), "42");
    EXPECT_EQ(print["ret"].value("data", ""), R"({"text":"中文 +/="})") << title;
    EXPECT_EQ(print["ret"].value("config", ""), "{\"appId\":\"7\",\"appFileDir\":\"" + folder.path() + "\"}");
}

// A page that the browser takes for a public site reaches the client only when the administrator's
// policy (written by scripts/browser-policy.sh) allows it, and the client serves it only when
// trusted.sites lists it.
TEST(BridgeBrowser, PublicPageNeedsThePolicyAndAListedSite)
{
    if (std::system("command -v chromium >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "chromium is not installed (scripts/setup-debian.sh installs it)";
    if (!std::filesystem::is_directory("/etc/chromium") || std::system("unshare -m true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs /etc/chromium and a private mount namespace (root)";

    struct Case {
        const char* name;
        bool listPage;          // trusted.sites lists the page's origin (else only another site)
        bool policyFromSysIni;  // the policy is written from trusted.sites (else for the page itself)
        bool reached;
    };
    const Case cases[] = {
        {"page listed, policy from trusted.sites", true, true, true},
        {"another site listed, policy from trusted.sites", false, true, false},
        {"another site listed, policy allowing the page", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProgramFolder folder;
        folder.installModule("libc_module.so", "comp/print/libc_module.so");
        folder.writeFile("conf/dll.ini", "[MODULE-DLLPATH]\r\nprint=comp\\print\\libc_module.so\r\n[MODULE-LANG]\r\nprint=c\r\n");
        folder.writeFile("data/text/json2.txt", "\r\n");
        const std::string service = "http://127.0.0.1:" + std::to_string(folder.port());
        PageServer server(callingPage(service));
        const std::string page = "http://127.0.0.1:" + std::to_string(server.port());
        folder.writeSysIni("[HTTP]\r\nserver.port=" + std::to_string(folder.port()) + "\r\ntrusted.sites=" +
                           (c.listPage ? page : std::string("https://other.example")) + "\r\n");
        ASSERT_TRUE(folder.start()) << folder.output();
        ASSERT_EQ(get(folder.port(), "/print?func=hello").status, 200); // loads the module in time

        const std::string policyRoot = folder.file("policy-root");
        const std::string source = c.policyFromSysIni ? "--program-folder '" + folder.path() + "'"
                                                      : "--origins '" + page + "'";
        auto [ok, said] = runCommand("'" KX_SCRIPTS_DIR "/browser-policy.sh' write " + source +
                                     " --browser chromium --policy-root '" + policyRoot + "'");
        ASSERT_TRUE(ok) << said;
        const std::string policyFile = policyRoot + "/etc/chromium/policies/managed/kestrix-assistant.json";
        EXPECT_NE(said.find("wrote " + policyFile), std::string::npos) << said;
        EXPECT_NE(said.find(c.listPage || !c.policyFromSysIni ? page : "https://other.example"), std::string::npos)
            << said;

        const std::string dom = dumpDom(page + "/", {"--ip-address-space-overrides=127.0.0.1:" +
                                                     std::to_string(server.port()) + "=public"},
                                        policyRoot + "/etc/chromium");
        auto got = titleJson(dom);
        ASSERT_TRUE(got && got->is_object()) << dom;
        if (c.reached) {
            EXPECT_EQ(got->value("heart", -1), 0) << got->dump();
            ASSERT_TRUE(got->contains("print")) << got->dump();
            EXPECT_EQ((*got)["print"].value("id", ""), "9");
            EXPECT_EQ((*got)["print"]["ret"].value("data", ""), R"({"n":1})");
        } else {
            EXPECT_FALSE(got->contains("heart")) << got->dump();
            EXPECT_FALSE(got->contains("print")) << got->dump();
            EXPECT_TRUE(got->value("scriptFailed", false)) << got->dump();
        }
        // Only the client's own refusal leaves a line: the browser's never reaches it.
        EXPECT_EQ(folder.stop(), 0);
        const std::string log = folder.readFile("log/" + todayLogFileName());
        EXPECT_EQ(log.find("已拒绝来自 " + page) != std::string::npos, !c.reached && !c.policyFromSysIni) << log;
    }
}

// The way business pages are served: over HTTPS. Going from an https page to http://127.0.0.1 the
// browser sends no Referer, so with trusted.sites set the page must name itself with the referrer
// policy "origin"; then the listed page is served, and without it the request is refused.
TEST(BridgeBrowser, SecurePageNamesItsOriginToBeServed)
{
    if (std::system("command -v chromium >/dev/null 2>&1") != 0 || std::system("command -v openssl >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "chromium or openssl is not installed (scripts/setup-debian.sh installs them)";
    if (!std::filesystem::is_directory("/etc/chromium") || std::system("unshare -m true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs /etc/chromium and a private mount namespace (root)";

    for (bool sendOrigin : {true, false}) {
        SCOPED_TRACE(sendOrigin ? "referrer policy origin" : "default referrer policy");
        ProgramFolder folder;
        folder.installModule("libc_module.so", "comp/print/libc_module.so");
        folder.writeFile("conf/dll.ini", "[MODULE-DLLPATH]\r\nprint=comp\\print\\libc_module.so\r\n[MODULE-LANG]\r\nprint=c\r\n");
        folder.writeFile("data/text/json2.txt", "\r\n");
        HttpsPageServer server(callingPage("http://127.0.0.1:" + std::to_string(folder.port()), sendOrigin));
        ASSERT_TRUE(server.ready());
        const std::string page = "https://127.0.0.1:" + std::to_string(server.port());
        folder.writeSysIni("[HTTP]\r\nserver.port=" + std::to_string(folder.port()) + "\r\ntrusted.sites=" + page + "\r\n");
        ASSERT_TRUE(folder.start()) << folder.output();
        ASSERT_EQ(get(folder.port(), "/print?func=hello").status, 200);

        const std::string policyRoot = folder.file("policy-root");
        auto [ok, said] = runCommand("'" KX_SCRIPTS_DIR "/browser-policy.sh' write --program-folder '" + folder.path() +
                                     "' --browser chromium --policy-root '" + policyRoot + "'");
        ASSERT_TRUE(ok) << said;
        const std::string dom = dumpDom(page + "/page.html",
                                        {"--ignore-certificate-errors", "--ip-address-space-overrides=127.0.0.1:" +
                                                                            std::to_string(server.port()) + "=public"},
                                        policyRoot + "/etc/chromium");
        auto got = titleJson(dom);
        ASSERT_TRUE(got && got->is_object()) << dom;
        EXPECT_EQ(got->contains("heart"), sendOrigin) << got->dump();
        EXPECT_EQ(got->contains("print"), sendOrigin) << got->dump();
        if (sendOrigin && got->contains("print")) {
            EXPECT_EQ((*got)["print"].value("id", ""), "9");
        }
        EXPECT_EQ(folder.stop(), 0);
        const std::string log = folder.readFile("log/" + todayLogFileName());
        EXPECT_EQ(log.find("Sec-Fetch-Site: cross-site") != std::string::npos, !sendOrigin) << log;
    }
}
