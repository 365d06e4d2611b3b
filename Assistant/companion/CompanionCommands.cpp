#include "companion/CompanionCommands.h"

#include "base/Text.h"
#include "common/Config.h"
#include "common/Paths.h"
#include "companion/CompanionService.h"
#include "companion/KeyRotation.h"
#include "platform/LogonEntry.h"
#include "platform/ServiceHost.h"
#include "platform/ServiceManager.h"
#include "update/ServiceControl.h"

#include <cstdio>
#include <fstream>
#include <iterator>

namespace kx::companion {
namespace {

constexpr std::chrono::seconds kStopWait{30};

int fail(const std::string& message)
{
    std::fprintf(stderr, "KxService: %s\n", message.c_str());
    return 1;
}

platform::ServiceRegistration registration(const std::string& programFolder)
{
    return {kCompanionServiceName, kCompanionServiceDisplayName,
            programPath(programFolder, platform::companionServiceProgram()), kCompanionDescription};
}

// The registered service, or nullptr (missing is told apart through `missing`).
std::unique_ptr<platform::Service> openCompanion(std::unique_ptr<platform::ServiceControlManager>& manager, bool& missing)
{
    missing = false;
    manager = platform::serviceManager().openManager();
    if (!manager)
        return nullptr;
    platform::OpenServiceError error = platform::OpenServiceError::None;
    std::unique_ptr<platform::Service> service = manager->openService(kCompanionServiceName, error);
    missing = error == platform::OpenServiceError::DoesNotExist;
    return service;
}

int install(const std::string& programFolder)
{
    std::unique_ptr<platform::ServiceControlManager> manager;
    bool missing = false;
    std::unique_ptr<platform::Service> service = openCompanion(manager, missing);
    if (!manager)
        return fail("the service manager cannot be opened");
    if (service)
        return service->reconfigure(registration(programFolder)) ? 0 : fail("the service cannot be reconfigured");
    if (!missing)
        return fail("the service cannot be opened");
    return manager->createService(registration(programFolder)) ? 0 : fail("the service cannot be registered");
}

int control(const std::string& verb)
{
    std::unique_ptr<platform::ServiceControlManager> manager;
    bool missing = false;
    std::unique_ptr<platform::Service> service = openCompanion(manager, missing);
    if (!manager)
        return fail("the service manager cannot be opened");
    if (!service) {
        if (missing && verb != "start")
            return 0; // nothing to stop or remove
        return fail(missing ? "the service is not registered" : "the service cannot be opened");
    }
    if (verb == "start") {
        if (service->active() || service->start())
            return 0;
        return fail("the service does not start");
    }
    if (!service->stop(kStopWait))
        return fail("the service does not stop");
    if (verb == "uninstall" && !service->remove())
        return fail("the service cannot be removed");
    return 0;
}

bool readFile(const std::string& path, std::string& out)
{
    std::ifstream in(pathFromUtf8(path), std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

int acceptKey(const std::string& programFolder, const std::vector<std::string>& args)
{
    std::string pem, signature;
    if (!readFile(args[1], pem))
        return fail("cannot read " + args[1]);
    if (args.size() > 2 && !readFile(args[2], signature))
        return fail("cannot read " + args[2]);
    std::string message;
    const KeyDecision decision = acceptCarriedKey(programFolder, pem, signature, message);
    std::printf("%s\n", message.c_str());
    switch (decision) {
    case KeyDecision::Installed:
    case KeyDecision::Unchanged:
    case KeyDecision::Replaced:
        return 0;
    case KeyDecision::KeptInstalled:
        return 3;
    case KeyDecision::Failed:
        break;
    }
    return 1;
}

std::string verbOf(const std::string& arg)
{
    std::string_view v = arg;
    if (v.starts_with("--"))
        v.remove_prefix(2);
    else if (v.starts_with("/") || v.starts_with("-"))
        v.remove_prefix(1);
    else
        return "";
    std::string lower(v);
    for (char& c : lower)
        c = base::lowerAscii(c);
    return lower;
}

} // namespace

std::optional<int> runCommand(const std::vector<std::string>& args, const std::string& programFolder)
{
    if (args.empty())
        return std::nullopt;
    const std::string verb = verbOf(args[0]);
    const std::size_t n = args.size();
    try {
        if (verb == "install" && n == 1)
            return install(programFolder);
        if ((verb == "uninstall" || verb == "start" || verb == "stop") && n == 1)
            return control(verb);
        if (verb == "closemainapp" && n <= 2) {
            const std::string folder = n == 2 ? args[1] : programFolder;
            auto log = std::make_shared<CompanionLog>(folder);
            CompanionJobs jobs(folder, log, makeMachine());
            return jobs.endAssistantNow() ? 0 : 1;
        }
        if (verb == "readsysini" && n == 3) {
            const std::string value = readSysIni(args[1], args[2], "", programFolder);
            std::fwrite(value.data(), 1, value.size(), stdout);
            return 0;
        }
        if (verb == "writesysini" && n == 4) {
            writeSysIni(args[1], args[2], args[3], programFolder);
            return 0;
        }
        if (verb == "acceptkey" && (n == 2 || n == 3))
            return acceptKey(programFolder, args);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    std::fprintf(stderr, "KxService: unknown command line; verbs: /install /uninstall /start /stop "
                         "/closeMainApp [folder] /readSysIni S K /writeSysIni S K V /acceptKey PUB [SIG]\n");
    return 2;
}

namespace {

// Makes the logon entry follow the start-with-system flag, with a log line when it changed.
void followFlag(CompanionLog& log)
{
    std::string error;
    switch (platform::syncLogonEntry(CompanionJobs::startWithSystem(), error)) {
    case platform::LogonEntryChange::Added:
        log.write("开机自动启动已开启：已建立登录时启动客户端的项");
        break;
    case platform::LogonEntryChange::Removed:
        log.write("开机自动启动已关闭：已删除登录时启动客户端的项");
        break;
    case platform::LogonEntryChange::Failed:
        log.write("无法更新登录时启动客户端的项：" + error);
        break;
    case platform::LogonEntryChange::None:
        break;
    }
}

} // namespace

int serve(const std::string& programFolder)
{
    return platform::runService(kCompanionServiceName, [&](platform::ServiceContext& context) {
        auto log = std::make_shared<CompanionLog>(programFolder);
        std::shared_ptr<CompanionSystem> machine = makeMachine();
        auto jobs = std::make_shared<CompanionJobs>(programFolder, log, machine);
        CompanionService service(programFolder, log, jobs);
        try {
            service.start();
        } catch (const std::exception& e) {
            log->write(std::string("服务无法启动：") + e.what());
            return 1;
        }
        context.reportRunning();
        followFlag(*log);
        if (!jobs->resumeAfterUpdate())
            jobs->startAtLogon(machine->activeSession());
        for (;;) {
            const platform::ServiceEvent event = context.nextEvent();
            if (event.kind == platform::ServiceEventKind::Stop)
                break;
            if (event.kind == platform::ServiceEventKind::FlagChanged) {
                followFlag(*log);
                continue;
            }
            platform::UserSession session;
            session.sessionId = event.session;
            session.description = "会话 " + std::to_string(event.session);
            jobs->startAtLogon(session);
        }
        service.stop();
        return 0;
    });
}

} // namespace kx::companion
