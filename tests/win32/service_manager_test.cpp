// The service control manager as the companion service repair uses it: a missing service is told
// apart from other failures, and a registration quotes a program path with blanks.
#include "platform/ServiceManager.h"

#include "Win32TestFolder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

using namespace kx;

namespace {

class ServiceManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        name_ = "KxTestService" + std::to_string(GetCurrentProcessId());
        wname_ = std::wstring(name_.begin(), name_.end());
        deleteService();
    }
    void TearDown() override { deleteService(); }

    void deleteService()
    {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        if (!manager)
            return;
        if (SC_HANDLE service = OpenServiceW(manager, wname_.c_str(), DELETE)) {
            DeleteService(service);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
    }

    std::string name_;
    std::wstring wname_;
};

} // namespace

TEST_F(ServiceManagerTest, MissingServiceIsToldApart)
{
    auto manager = platform::serviceManager().openManager();
    ASSERT_TRUE(manager);
    platform::OpenServiceError error = platform::OpenServiceError::None;
    EXPECT_EQ(manager->openService(name_, error), nullptr);
    EXPECT_EQ(error, platform::OpenServiceError::DoesNotExist);
    error = platform::OpenServiceError::None;
    EXPECT_EQ(manager->openService("", error), nullptr); // not a name at all
    EXPECT_EQ(error, platform::OpenServiceError::Other);
}

TEST_F(ServiceManagerTest, RegistrationRunsTheQuotedProgramAutomaticallyInItsOwnProcess)
{
    test::Win32TestFolder folder;
    const std::string program = folder.utf8() + "/KxService.exe"; // "/" as programPath writes it
    auto manager = platform::serviceManager().openManager();
    ASSERT_TRUE(manager);
    auto service = manager->createService({name_, "Kestrix Assistant Server", program});
    ASSERT_TRUE(service);
    EXPECT_FALSE(manager->createService({name_, "Kestrix Assistant Server", program})); // exists already

    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE handle = OpenServiceW(scm, wname_.c_str(), SERVICE_QUERY_CONFIG);
    ASSERT_NE(handle, nullptr);
    DWORD needed = 0;
    QueryServiceConfigW(handle, nullptr, 0, &needed);
    std::vector<unsigned char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    ASSERT_TRUE(QueryServiceConfigW(handle, config, needed, &needed));
    EXPECT_EQ(std::wstring(config->lpBinaryPathName),
              L"\"" + (folder.path() / L"KxService.exe").native() + L"\""); // cut at no blank
    EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(std::wstring(config->lpDisplayName), L"Kestrix Assistant Server");
    EXPECT_EQ(std::wstring(config->lpServiceStartName), L"LocalSystem");
    CloseServiceHandle(handle);
    CloseServiceHandle(scm);

    // Its program does not exist: the start fails.
    EXPECT_FALSE(service->start());
    platform::OpenServiceError error = platform::OpenServiceError::Other;
    EXPECT_TRUE(manager->openService(name_, error));
    EXPECT_EQ(error, platform::OpenServiceError::None);
}
