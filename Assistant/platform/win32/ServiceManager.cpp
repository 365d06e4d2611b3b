#include "platform/ServiceManager.h"

#include "platform/PathText.h"
#include "platform/win32/WideText.h"

#include <windows.h>

#include <algorithm>
#include <mutex>

namespace kx::platform {

const char* companionServiceProgram()
{
    return "KxService.exe";
}

namespace {

class ServiceHandle {
public:
    explicit ServiceHandle(SC_HANDLE h) : h_(h) {}
    ~ServiceHandle()
    {
        if (h_)
            CloseServiceHandle(h_);
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    SC_HANDLE get() const { return h_; }

private:
    SC_HANDLE h_;
};

// The command line of a registration: the program's path in double quotes, so that a folder with
// blanks in its name is not cut at the first blank.
std::wstring quotedProgram(const std::string& program)
{
    return L"\"" + win32::wideFromUtf8(toNativeSeparators(program)) + L"\"";
}

// Sets the text of the system's service list; "" removes it.
bool setDescription(SC_HANDLE service, const std::string& description)
{
    std::wstring text = win32::wideFromUtf8(description);
    SERVICE_DESCRIPTIONW value{text.data()};
    return ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &value) != FALSE;
}

class WindowsService : public Service {
public:
    explicit WindowsService(SC_HANDLE h) : handle_(h) {}

    // Fails with ERROR_SERVICE_ALREADY_RUNNING when the service runs already.
    bool start() override { return StartServiceW(handle_.get(), 0, nullptr) != FALSE; }

    // The stop request goes again once a starting service runs: while it starts (or stops) it
    // accepts no controls.
    bool stop(std::chrono::milliseconds timeout) override
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        bool requested = requestStop();
        for (;;) {
            SERVICE_STATUS_PROCESS status{};
            if (!queryStatus(status))
                return false;
            if (status.dwCurrentState == SERVICE_STOPPED)
                return true;
            if (!requested && status.dwCurrentState == SERVICE_RUNNING)
                requested = requestStop();
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            Sleep(static_cast<DWORD>(std::min<long long>(left.count(), 100)));
        }
    }

    bool active() override
    {
        SERVICE_STATUS_PROCESS status{};
        return queryStatus(status) && status.dwCurrentState != SERVICE_STOPPED;
    }

    // A registration already marked for deletion goes as well once its handles are closed.
    bool remove() override
    {
        return DeleteService(handle_.get()) != FALSE || GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
    }

    bool reconfigure(const ServiceRegistration& registration) override
    {
        const std::wstring program = quotedProgram(registration.program);
        const std::wstring displayName = win32::wideFromUtf8(registration.displayName);
        if (!ChangeServiceConfigW(handle_.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                  program.c_str(), nullptr, nullptr, nullptr, L"LocalSystem", L"",
                                  displayName.c_str()))
            return false;
        return setDescription(handle_.get(), registration.description);
    }

private:
    // False when the request cannot be delivered now but may later (the service is starting or
    // stopping); a service that does not run needs none.
    bool requestStop()
    {
        SERVICE_STATUS status{};
        if (ControlService(handle_.get(), SERVICE_CONTROL_STOP, &status))
            return true;
        return GetLastError() == ERROR_SERVICE_NOT_ACTIVE;
    }

    bool queryStatus(SERVICE_STATUS_PROCESS& status)
    {
        DWORD needed = 0;
        return QueryServiceStatusEx(handle_.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                    sizeof status, &needed) != FALSE;
    }

    ServiceHandle handle_;
};

class WindowsControlManager : public ServiceControlManager {
public:
    explicit WindowsControlManager(SC_HANDLE h) : manager_(h) {}

    std::unique_ptr<Service> openService(const std::string& name, OpenServiceError& error) override
    {
        SC_HANDLE h = OpenServiceW(manager_.get(), win32::wideFromUtf8(name).c_str(), SERVICE_ALL_ACCESS);
        if (!h) {
            error = GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? OpenServiceError::DoesNotExist
                                                                   : OpenServiceError::Other;
            return nullptr;
        }
        error = OpenServiceError::None;
        return std::make_unique<WindowsService>(h);
    }

    // An own-process service that starts with the system, under the local system account.
    std::unique_ptr<Service> createService(const ServiceRegistration& registration) override
    {
        const std::wstring program = quotedProgram(registration.program);
        SC_HANDLE h = CreateServiceW(manager_.get(), win32::wideFromUtf8(registration.name).c_str(),
                                     win32::wideFromUtf8(registration.displayName).c_str(), SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                     program.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        if (!h)
            return nullptr;
        // The description only shows in the system's service list: a registration without it
        // still serves.
        if (!registration.description.empty())
            setDescription(h, registration.description);
        return std::make_unique<WindowsService>(h);
    }

private:
    ServiceHandle manager_;
};

class WindowsServiceManager : public ServiceManager {
public:
    std::unique_ptr<ServiceControlManager> openManager() override
    {
        SC_HANDLE h = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        if (!h)
            return nullptr;
        return std::make_unique<WindowsControlManager>(h);
    }
};

std::mutex g_mutex;
std::shared_ptr<ServiceManager> g_manager;

} // namespace

ServiceManager& serviceManager()
{
    std::lock_guard lock(g_mutex);
    if (!g_manager)
        g_manager = std::make_shared<WindowsServiceManager>();
    return *g_manager;
}

std::shared_ptr<ServiceManager> setServiceManager(std::shared_ptr<ServiceManager> manager)
{
    std::lock_guard lock(g_mutex);
    std::swap(g_manager, manager);
    return manager;
}

} // namespace kx::platform
