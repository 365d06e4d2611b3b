// The companion service's hosting on Windows: a program built on runService, registered with the
// service control manager, starts, runs, takes the stop request and ends with its body's result as
// the service's exit code; a registration is reconfigured and removed; outside the manager the body
// runs in the foreground and Ctrl+Break or Ctrl+C is its stop request.
#include "platform/ServiceHost.h"
#include "platform/ServiceManager.h"
#include "platform/win32/WideText.h"

#include "Win32TestFolder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace kx;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string utf8(const std::wstring& text)
{
    return platform::win32::utf8FromWide(text);
}

std::vector<std::string> fileLines(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

class ScmHandle {
public:
    explicit ScmHandle(SC_HANDLE h) : h_(h) {}
    ~ScmHandle()
    {
        if (h_)
            CloseServiceHandle(h_);
    }
    ScmHandle(const ScmHandle&) = delete;
    ScmHandle& operator=(const ScmHandle&) = delete;
    SC_HANDLE get() const { return h_; }

private:
    SC_HANDLE h_;
};

// The registrations of one test: unique names, stopped and removed at the end whatever happened.
class ServiceHostTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        ScmHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        for (const std::wstring& name : names_) {
            ScmHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_ALL_ACCESS));
            if (!service.get())
                continue;
            SERVICE_STATUS status{};
            ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
            for (int i = 0; i < 100 && state(service.get()) != SERVICE_STOPPED; ++i)
                Sleep(100);
            DeleteService(service.get());
        }
    }

    // A service name not used before; the program copied for it has the same name, which makes
    // the child program run as that service.
    std::string newName()
    {
        static std::atomic<unsigned> counter{0};
        const std::wstring name =
            L"serviceKxHost" + std::to_wstring(GetCurrentProcessId()) + L"n" + std::to_wstring(counter++);
        names_.push_back(name);
        return utf8(name);
    }

    fs::path copyChild(const std::string& name)
    {
        const fs::path target = folder_.path() / (platform::win32::wideFromUtf8(name) + L".exe");
        fs::copy_file(KX_TEST_CHILD, target, fs::copy_options::overwrite_existing);
        return target;
    }

    static DWORD state(SC_HANDLE service)
    {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                  &needed))
            return 0;
        return status.dwCurrentState;
    }

    static SERVICE_STATUS_PROCESS statusOf(const std::string& name)
    {
        SERVICE_STATUS_PROCESS status{};
        ScmHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        ScmHandle service(
            OpenServiceW(manager.get(), platform::win32::wideFromUtf8(name).c_str(), SERVICE_QUERY_STATUS));
        DWORD needed = 0;
        if (service.get())
            QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                 sizeof status, &needed);
        return status;
    }

    // The state once it is `wanted`, or the last one seen when that does not happen within 30 s.
    static DWORD stateOnce(const std::string& name, DWORD wanted)
    {
        DWORD seen = 0;
        for (int i = 0; i < 300 && (seen = statusOf(name).dwCurrentState) != wanted; ++i)
            Sleep(100);
        return seen;
    }

    struct Config {
        std::wstring program;
        std::wstring displayName;
        std::wstring account;
        std::wstring description;
        DWORD type = 0;
        DWORD start = 0;
    };
    static Config configOf(const std::string& name)
    {
        Config config;
        ScmHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        ScmHandle service(
            OpenServiceW(manager.get(), platform::win32::wideFromUtf8(name).c_str(), SERVICE_QUERY_CONFIG));
        if (!service.get())
            return config;
        DWORD needed = 0;
        QueryServiceConfigW(service.get(), nullptr, 0, &needed);
        std::vector<unsigned char> buffer(needed);
        auto* query = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (QueryServiceConfigW(service.get(), query, needed, &needed)) {
            config.program = query->lpBinaryPathName ? query->lpBinaryPathName : L"";
            config.displayName = query->lpDisplayName ? query->lpDisplayName : L"";
            config.account = query->lpServiceStartName ? query->lpServiceStartName : L"";
            config.type = query->dwServiceType;
            config.start = query->dwStartType;
        }
        needed = 0;
        QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
        std::vector<unsigned char> description(needed + sizeof(SERVICE_DESCRIPTIONW));
        if (QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, description.data(),
                                 static_cast<DWORD>(description.size()), &needed)) {
            const auto* text = reinterpret_cast<SERVICE_DESCRIPTIONW*>(description.data());
            config.description = text->lpDescription ? text->lpDescription : L"";
        }
        return config;
    }

    test::Win32TestFolder folder_;
    std::vector<std::wstring> names_;
};

} // namespace

TEST_F(ServiceHostTest, ServiceRunsUntilStoppedAndEndsWithTheBodysResult)
{
    auto manager = platform::serviceManager().openManager();
    ASSERT_TRUE(manager);
    struct Case {
        int result;
        DWORD win32ExitCode;
        DWORD specificExitCode;
    };
    for (const Case& c : {Case{42, ERROR_SERVICE_SPECIFIC_ERROR, 42}, Case{0, NO_ERROR, 0}}) {
        SCOPED_TRACE("body result " + std::to_string(c.result));
        const std::string name = newName();
        const fs::path program = copyChild(name);
        std::ofstream(fs::path(program.native() + L".code")) << c.result;
        auto service = manager->createService({name, "Kestrix 测试服务", utf8(program.native()), "测试 说明"});
        ASSERT_TRUE(service);
        EXPECT_FALSE(service->active());

        ASSERT_TRUE(service->start());
        ASSERT_EQ(stateOnce(name, SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
        EXPECT_TRUE(service->active());
        EXPECT_FALSE(service->start()); // runs already
        EXPECT_EQ(statusOf(name).dwControlsAccepted,
                  static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE));

        ASSERT_TRUE(service->stop(30s));
        const SERVICE_STATUS_PROCESS status = statusOf(name);
        EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
        EXPECT_EQ(status.dwWin32ExitCode, c.win32ExitCode);
        EXPECT_EQ(status.dwServiceSpecificExitCode, c.specificExitCode);
        EXPECT_FALSE(service->active());
        EXPECT_TRUE(service->stop(1s)); // stopped already
        // The body saw one stop, and every later question was answered with a stop at once.
        EXPECT_EQ(fileLines(program.native() + L".log"), (std::vector<std::string>{"started", "stop", "stop", "stop"}));

        EXPECT_TRUE(service->remove());
        service.reset(); // the registration goes with the last handle
        platform::OpenServiceError error = platform::OpenServiceError::None;
        EXPECT_FALSE(manager->openService(name, error));
        EXPECT_EQ(error, platform::OpenServiceError::DoesNotExist);
    }
}

TEST_F(ServiceHostTest, RegistrationIsBroughtToNewValues)
{
    auto manager = platform::serviceManager().openManager();
    ASSERT_TRUE(manager);
    const std::string name = newName();
    const std::string first = folder_.utf8(L"旧/KxService.exe");
    ASSERT_TRUE(manager->createService({name, "旧名字", first, "旧 说明"}));
    EXPECT_EQ(configOf(name).description, L"旧 说明");

    // Whatever the registration became in the meantime, reconfigure brings every value back.
    {
        ScmHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ScmHandle service(OpenServiceW(scm.get(), platform::win32::wideFromUtf8(name).c_str(), SERVICE_ALL_ACCESS));
        ASSERT_TRUE(ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE,
                                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    }
    platform::OpenServiceError error = platform::OpenServiceError::Other;
    auto service = manager->openService(name, error);
    ASSERT_TRUE(service);
    struct Step {
        std::string program;
        std::string displayName;
        std::string description;
    };
    for (const Step& step : {Step{folder_.utf8(L"新 文件夹/KxService.exe"), "新名字", ""},
                             Step{folder_.utf8(L"KxService.exe"), "Kestrix Assistant Server", "新 说明"}}) {
        ASSERT_TRUE(service->reconfigure({name, step.displayName, step.program, step.description}));
        const Config config = configOf(name);
        std::wstring program = platform::win32::wideFromUtf8(step.program);
        std::replace(program.begin(), program.end(), L'/', L'\\');
        EXPECT_EQ(config.program, L"\"" + program + L"\"");
        EXPECT_EQ(config.displayName, platform::win32::wideFromUtf8(step.displayName));
        EXPECT_EQ(config.description, platform::win32::wideFromUtf8(step.description));
        EXPECT_EQ(config.account, L"LocalSystem");
        EXPECT_EQ(config.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_EQ(config.start, static_cast<DWORD>(SERVICE_AUTO_START));
    }
    EXPECT_TRUE(service->remove());
    EXPECT_TRUE(service->remove()); // marked for removal already
}

TEST(ServiceHost, OutsideTheManagerTheBodyRunsOnTheCallingThread)
{
    const DWORD caller = GetCurrentThreadId();
    DWORD bodyThread = 0;
    const int result = platform::runService("KxForegroundTest", [&](platform::ServiceContext& context) {
        bodyThread = GetCurrentThreadId();
        context.reportRunning();
        return 5;
    });
    EXPECT_EQ(result, 5);
    EXPECT_EQ(bodyThread, caller);
}

TEST(ServiceHost, OutsideTheManagerConsoleBreakIsTheStopRequest)
{
    test::Win32TestFolder folder;
    const fs::path program = folder.path() / L"foreground 前台.exe";
    fs::copy_file(KX_TEST_CHILD, program);
    std::wstring commandLine = L"\"" + program.native() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    // A process group of its own: the Ctrl+Break it sends reaches no other process. It shares this
    // process's console, or gets one of its own where this process has none.
    // This process ignores Ctrl+C meanwhile: the child falls back to it where Ctrl+Break cannot
    // be sent to its group alone.
    const bool haveConsole = GetConsoleCP() != 0;
    const DWORD flags = CREATE_NEW_PROCESS_GROUP | (haveConsole ? 0 : CREATE_NEW_CONSOLE);
    SetConsoleCtrlHandler(nullptr, TRUE);
    const BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr,
                                        nullptr, &startup, &info);
    const DWORD waited = started ? WaitForSingleObject(info.hProcess, 30000) : WAIT_FAILED;
    SetConsoleCtrlHandler(nullptr, FALSE);
    ASSERT_TRUE(started);
    CloseHandle(info.hThread);
    if (waited != WAIT_OBJECT_0)
        TerminateProcess(info.hProcess, 1);
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hProcess);
    ASSERT_EQ(waited, static_cast<DWORD>(WAIT_OBJECT_0)) << "the body never got the stop request";
    if (code == 200)
        GTEST_SKIP() << "this process has no console to send the stop request in: " << fileLines(program.native() + L".log").at(0);
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(fileLines(program.native() + L".log"), std::vector<std::string>{"stop"});
}
