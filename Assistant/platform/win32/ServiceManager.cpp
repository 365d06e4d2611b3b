#include "platform/ServiceManager.h"

#include "platform/PathText.h"
#include "platform/win32/WideText.h"

#include <windows.h>

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

class WindowsService : public Service {
public:
    explicit WindowsService(SC_HANDLE h) : handle_(h) {}

    // Fails with ERROR_SERVICE_ALREADY_RUNNING when the service runs already.
    bool start() override { return StartServiceW(handle_.get(), 0, nullptr) != FALSE; }

private:
    ServiceHandle handle_;
};

// The command line of a registration: the program's path in double quotes, so that a folder with
// blanks in its name is not cut at the first blank.
std::wstring quotedProgram(const std::string& program)
{
    return L"\"" + win32::wideFromUtf8(toNativeSeparators(program)) + L"\"";
}

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
