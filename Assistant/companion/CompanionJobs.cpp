#include "companion/CompanionJobs.h"

#include "common/AutoRun.h"
#include "common/Config.h"
#include "common/Paths.h"
#include "platform/Files.h"

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace kx::companion {

struct CompanionJobs::Shared {
    std::string programFolder;
    std::shared_ptr<CompanionLog> log;
    std::shared_ptr<CompanionSystem> system;
    JobTimes times;

    mutable std::mutex mutex;
    std::condition_variable idle;
    bool busy = false;
    bool updating = false;

    std::string assistant() const { return programPath(programFolder, platform::programFileName("KestrixAssistant")); }
    std::string notePath() const { return programPath(companionFolder(programFolder), "resume.txt"); }

    void finish()
    {
        std::lock_guard lock(mutex);
        busy = false;
        updating = false;
        idle.notify_all();
    }

    // Ends every running copy of the assistant; gives the session the (first) copy ran in, or the
    // active one when none ran.
    std::optional<platform::UserSession> endAssistant()
    {
        const std::vector<unsigned long> pids = system->processesOf(assistant());
        if (pids.empty()) {
            log->write("客户端未在运行");
            return system->activeSession();
        }
        std::optional<platform::UserSession> session = system->sessionOf(pids.front());
        if (!session)
            session = system->activeSession();
        if (system->askAssistantToEnd(programFolder))
            log->write("已请客户端退出");
        else
            log->write("无法通过客户端的本地服务请它退出");
        for (unsigned long pid : pids) {
            if (system->waitForEnd(pid, times.endTimeout)) {
                log->write("客户端已退出（进程 " + std::to_string(pid) + "）");
                continue;
            }
            const bool ended = system->terminate(pid);
            log->write("客户端（进程 " + std::to_string(pid) + "）未在 " +
                       std::to_string(times.endTimeout.count() / 1000) + " 秒内退出，" +
                       (ended ? "已强制结束" : "无法结束"));
        }
        return session;
    }

    void startAssistant(const std::optional<platform::UserSession>& session)
    {
        if (!system->processesOf(assistant()).empty()) {
            log->write("客户端已在运行，不再启动");
            return;
        }
        // A tray program started where no user sees it would only hold the port: without a
        // user's session it starts at the next sign-in instead (while the flag is 1).
        if (!session) {
            log->write("没有已登录用户的会话：不启动客户端");
            return;
        }
        std::string error;
        const std::optional<unsigned long> pid = system->start(assistant(), &*session, error);
        if (pid)
            log->write("已启动客户端（进程 " + std::to_string(*pid) + "，" + session->description + "）");
        else
            log->write("无法启动客户端：" + error);
    }

    void runUpdate(const CheckedInstaller& installer)
    {
        std::string error;
        const std::string staged = stageInstaller(programFolder, installer, error);
        if (staged.empty()) {
            log->write("更新未进行：" + error);
            return;
        }
        const std::optional<platform::UserSession> session = endAssistant();
        platform::UserSession noted = session.value_or(platform::UserSession{});
        const std::string note = session ? noteText(noted) : std::string("none\n");
        if (!platform::replaceFileAtomically(notePath(), note))
            log->write("无法写入 " + notePath() + "：更新后由本次运行启动客户端");

        const InstallerCommand command = installerCommand(staged, programFolder);
        log->write("运行安装程序：" + command.program);
        const std::optional<int> code = system->run(command.program, command.arguments, error);
        if (!code)
            log->write("安装程序无法运行：" + error);
        else if (*code == 0)
            log->write("安装程序已完成");
        else
            log->write("安装程序失败，退出代码 " + std::to_string(*code));
        completeUpdate(session);
    }

    // After the installer: the note and the staged copy go, and the assistant comes back.
    void completeUpdate(const std::optional<platform::UserSession>& session)
    {
        std::error_code ec;
        fs::remove(pathFromUtf8(notePath()), ec);
        fs::remove_all(pathFromUtf8(stagingFolder(programFolder)), ec);
        const std::string version = readSysIni("APP", "application.current.version", "", programFolder);
        log->write("客户端版本：" + (version.empty() ? std::string("（未知）") : version));
        startAssistant(session);
    }
};

CompanionJobs::CompanionJobs(std::string programFolder, std::shared_ptr<CompanionLog> log,
                             std::shared_ptr<CompanionSystem> system, JobTimes times)
    : shared_(std::make_shared<Shared>())
{
    shared_->programFolder = std::move(programFolder);
    shared_->log = std::move(log);
    shared_->system = std::move(system);
    shared_->times = times;
}

CompanionJobs::~CompanionJobs()
{
    std::unique_lock lock(shared_->mutex);
    if (shared_->updating) {
        shared_->log->write("服务停止时安装程序仍在运行：更新由安装程序完成");
        return;
    }
    shared_->idle.wait(lock, [&] { return !shared_->busy; });
}

bool CompanionJobs::tryReserve()
{
    std::lock_guard lock(shared_->mutex);
    if (shared_->busy)
        return false;
    shared_->busy = true;
    return true;
}

void CompanionJobs::release()
{
    shared_->finish();
}

bool CompanionJobs::busy() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->busy;
}

void CompanionJobs::waitIdle()
{
    std::unique_lock lock(shared_->mutex);
    shared_->idle.wait(lock, [&] { return !shared_->busy; });
}

void CompanionJobs::startRestart()
{
    std::thread([shared = shared_] {
        shared->log->write("重新启动客户端");
        shared->startAssistant(shared->endAssistant());
        shared->finish();
    }).detach();
}

void CompanionJobs::startUpdate(CheckedInstaller installer)
{
    {
        std::lock_guard lock(shared_->mutex);
        shared_->updating = true;
    }
    std::thread([shared = shared_, installer = std::move(installer)] {
        shared->log->write("更新客户端：" + installer.path);
        shared->runUpdate(installer);
        shared->finish();
    }).detach();
}

bool CompanionJobs::endAssistantNow()
{
    shared_->endAssistant();
    return shared_->system->processesOf(shared_->assistant()).empty();
}

bool CompanionJobs::resumeAfterUpdate()
{
    std::ifstream in(pathFromUtf8(shared_->notePath()), std::ios::binary);
    if (!in)
        return false;
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    in.close();
    shared_->log->write("安装程序已重新启动本服务，完成更新");
    std::optional<platform::UserSession> session = sessionFromNote(text);
    if (!session)
        session = shared_->system->activeSession();
    shared_->completeUpdate(session);
    return true;
}

bool CompanionJobs::startWithSystem()
{
    try {
        return readAutoRun() == 1;
    } catch (const std::exception&) {
        return false; // never written: the user has not asked for it
    }
}

void CompanionJobs::startAtLogon(const std::optional<platform::UserSession>& session)
{
    if (!startWithSystem() || !session || !tryReserve())
        return;
    shared_->log->write("开机时自动启动客户端（" + session->description + "）");
    shared_->startAssistant(session);
    release();
}

std::string CompanionJobs::noteText(const platform::UserSession& session)
{
    std::string text = "session=" + std::to_string(session.sessionId) + "\nuid=" + std::to_string(session.uid) +
                       "\ngid=" + std::to_string(session.gid) + "\ndescription=" + session.description + "\n";
    for (const std::string& entry : session.environment)
        if (entry.find('\n') == std::string::npos)
            text += "env=" + entry + "\n";
    return text;
}

std::optional<platform::UserSession> CompanionJobs::sessionFromNote(const std::string& text)
{
    platform::UserSession session;
    bool any = false;
    std::istringstream lines(text);
    std::string line;
    try {
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const auto eq = line.find('=');
            if (eq == std::string::npos)
                continue;
            const std::string key = line.substr(0, eq);
            const std::string value = line.substr(eq + 1);
            if (key == "session")
                session.sessionId = std::stoul(value), any = true;
            else if (key == "uid")
                session.uid = static_cast<unsigned>(std::stoul(value));
            else if (key == "gid")
                session.gid = static_cast<unsigned>(std::stoul(value));
            else if (key == "description")
                session.description = value;
            else if (key == "env")
                session.environment.push_back(value);
        }
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!any)
        return std::nullopt;
    return session;
}

} // namespace kx::companion
