// The companion service under the Windows service control manager, or in the foreground.
//
// runService hands the dispatcher a table with the one service of this process. The dispatcher
// calls serviceMain on a thread of its own, which registers the control handler, reports "start
// pending" and runs the body; the body reports "running" when it is ready. Stop and shutdown
// requests are answered with "stop pending" and reach the body as a Stop event; a session change
// that is a user's logon reaches it as UserLogon with the session's id. When the body returns, the
// service reports "stopped": exit code 0 for a result of 0, otherwise a service-specific error
// carrying the result.
//
// A process the service control manager did not start cannot connect to it: the dispatcher fails
// with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, and the body runs in the foreground on the calling
// thread, where Ctrl+C, Ctrl+Break and closing the console are the stop request.
#include "platform/ServiceHost.h"

#include "platform/win32/WideText.h"

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

namespace kx::platform {

namespace {

// How long the service control manager is told to wait for the next status while starting and
// stopping.
constexpr DWORD kPendingWaitHint = 30000;
// How long closing the console waits for the body to end before the system ends the process (it
// does so after five seconds).
constexpr DWORD kConsoleCloseWait = 4500;

// What the body is told, in order; a stop overtakes every event still waiting.
class EventQueue {
public:
    void push(const ServiceEvent& event)
    {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(event);
        }
        changed_.notify_all();
    }
    void stop()
    {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        changed_.notify_all();
    }
    bool stopped()
    {
        std::lock_guard lock(mutex_);
        return stopped_;
    }
    ServiceEvent next()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopped_ || !events_.empty(); });
        if (stopped_)
            return ServiceEvent{ServiceEventKind::Stop, 0};
        const ServiceEvent event = events_.front();
        events_.pop_front();
        return event;
    }
    // The body has returned.
    void finish()
    {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        changed_.notify_all();
    }
    void waitForFinish(DWORD milliseconds)
    {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return finished_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<ServiceEvent> events_;
    bool stopped_ = false;
    bool finished_ = false;
};

// One run of runService: what the dispatcher's callbacks and the console handler reach.
struct Host {
    std::wstring name;
    const std::function<int(ServiceContext&)>* body = nullptr;
    int result = 0;
    bool underManager = false;
    EventQueue events;

    std::mutex statusMutex;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    SERVICE_STATUS status{};

    // Reports a state to the service control manager; the checkpoint advances while pending.
    void report(DWORD state, DWORD waitHint = 0)
    {
        std::lock_guard lock(statusMutex);
        if (!statusHandle)
            return;
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status.dwCurrentState = state;
        status.dwWaitHint = waitHint;
        status.dwControlsAccepted =
            state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE : 0;
        status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : status.dwCheckPoint + 1;
        SetServiceStatus(statusHandle, &status);
    }
    void reportStopped(DWORD win32ExitCode, DWORD specificExitCode)
    {
        {
            std::lock_guard lock(statusMutex);
            status.dwWin32ExitCode = win32ExitCode;
            status.dwServiceSpecificExitCode = specificExitCode;
        }
        report(SERVICE_STOPPED);
    }
};

std::mutex g_hostMutex;
std::shared_ptr<Host> g_host;

std::shared_ptr<Host> currentHost()
{
    std::lock_guard lock(g_hostMutex);
    return g_host;
}

class Context : public ServiceContext {
public:
    explicit Context(Host& host) : host_(host) {}
    void reportRunning() override
    {
        // A stop requested in the meantime has reported "stop pending" already.
        if (host_.underManager && !host_.events.stopped())
            host_.report(SERVICE_RUNNING);
    }
    ServiceEvent nextEvent() override { return host_.events.next(); }

private:
    Host& host_;
};

DWORD WINAPI controlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context)
{
    Host& host = *static_cast<Host*>(context);
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        host.report(SERVICE_STOP_PENDING, kPendingWaitHint);
        host.events.stop();
        return NO_ERROR;
    case SERVICE_CONTROL_SESSIONCHANGE:
        if (eventType == WTS_SESSION_LOGON && eventData) {
            const auto* notification = static_cast<const WTSSESSION_NOTIFICATION*>(eventData);
            host.events.push(ServiceEvent{ServiceEventKind::UserLogon, notification->dwSessionId});
        }
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI serviceMain(DWORD /*argc*/, LPWSTR* /*argv*/)
{
    const std::shared_ptr<Host> host = currentHost();
    if (!host)
        return;
    const SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExW(host->name.c_str(), controlHandler, host.get());
    if (!handle)
        return; // nothing can be reported; the dispatcher returns once the manager gives up on the start
    {
        std::lock_guard lock(host->statusMutex);
        host->statusHandle = handle;
    }
    host->report(SERVICE_START_PENDING, kPendingWaitHint);
    Context context(*host);
    try {
        host->result = (*host->body)(context);
    } catch (...) {
        host->result = -1;
        host->events.finish();
        host->reportStopped(ERROR_EXCEPTION_IN_SERVICE, 0);
        return;
    }
    host->events.finish();
    if (host->result == 0)
        host->reportStopped(NO_ERROR, 0);
    else
        host->reportStopped(ERROR_SERVICE_SPECIFIC_ERROR, static_cast<DWORD>(host->result));
}

BOOL WINAPI consoleHandler(DWORD event)
{
    const std::shared_ptr<Host> host = currentHost();
    if (!host)
        return FALSE;
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        host->events.stop();
        return TRUE;
    case CTRL_CLOSE_EVENT:
        // The process ends when this returns: give the body the time the system allows.
        host->events.stop();
        host->events.waitForFinish(kConsoleCloseWait);
        return TRUE;
    default:
        return FALSE;
    }
}

int runInForeground(Host& host)
{
    const bool handlerSet = SetConsoleCtrlHandler(consoleHandler, TRUE) != FALSE;
    Context context(host);
    struct Cleanup {
        Host& host;
        bool handlerSet;
        ~Cleanup()
        {
            host.events.finish();
            if (handlerSet)
                SetConsoleCtrlHandler(consoleHandler, FALSE);
        }
    } cleanup{host, handlerSet};
    return (*host.body)(context);
}

} // namespace

int runService(const std::string& name, const std::function<int(ServiceContext&)>& body)
{
    auto host = std::make_shared<Host>();
    host->name = win32::wideFromUtf8(name);
    host->body = &body;
    {
        std::lock_guard lock(g_hostMutex);
        g_host = host;
    }
    struct Release {
        ~Release()
        {
            std::lock_guard lock(g_hostMutex);
            g_host.reset();
        }
    } release;

    SERVICE_TABLE_ENTRYW table[] = {{host->name.data(), serviceMain}, {nullptr, nullptr}};
    host->underManager = true;
    if (StartServiceCtrlDispatcherW(table))
        return host->result;
    if (GetLastError() != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
        return -1; // started by the manager, but the dispatcher could not run
    host->underManager = false;
    return runInForeground(*host);
}

} // namespace kx::platform
