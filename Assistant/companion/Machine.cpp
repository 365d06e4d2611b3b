#include "common/Config.h"
#include "companion/CompanionSystem.h"
#include "http/HttpClient.h"

namespace kx::companion {
namespace {

class Machine : public CompanionSystem {
public:
    std::vector<unsigned long> processesOf(const std::string& program) override
    {
        return platform::processesOfProgram(program);
    }
    std::optional<platform::UserSession> sessionOf(unsigned long pid) override
    {
        return platform::sessionOfProcess(pid);
    }
    std::optional<platform::UserSession> activeSession() override { return platform::activeUserSession(); }
    bool waitForEnd(unsigned long pid, std::chrono::milliseconds timeout) override
    {
        return platform::waitForProcessEnd(pid, timeout);
    }
    bool terminate(unsigned long pid) override { return platform::terminateProcess(pid); }
    std::optional<unsigned long> start(const std::string& program, const platform::UserSession* session,
                                       std::string& error) override
    {
        return platform::startProgramInSession(program, session, error);
    }
    std::optional<int> run(const std::string& program, const std::vector<std::string>& arguments,
                           std::string& error) override
    {
        return platform::runProgramAndWait(program, arguments, error);
    }
    bool askAssistantToEnd(const std::string& programFolder) override
    {
        const std::string address = readSysIni("HTTP", "server.ip", "127.0.0.1", programFolder);
        const std::string port = readSysIni("HTTP", "server.port", "13526", programFolder);
        const std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
        http::RequestOptions options;
        options.connectTimeout = std::chrono::seconds(5);
        options.totalTimeout = std::chrono::seconds(10);
        return http::postForm("http://" + host + ":" + port + "/appctrl", {{"cmd", "1"}}, options).ok;
    }
};

} // namespace

std::unique_ptr<CompanionSystem> makeMachine()
{
    return std::make_unique<Machine>();
}

} // namespace kx::companion
