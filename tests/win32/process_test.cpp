// Process facilities on Windows: the single-instance mutex across processes, the program folder of
// an executable in a folder with Chinese characters and blanks, the administrator check through
// the token, and the C runtime's limit on open files.
#include "platform/Process.h"
#include "platform/ResourceLimits.h"

#include "Win32TestFolder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

using namespace kx;
namespace fs = std::filesystem;

namespace {

// The test program run again as a child: KX_PROCESS_CHILD="lock <name>" exits with the lock's
// result (0 Acquired, 1 AlreadyRunning, 2 Unavailable); "folder <file>" writes executableFolder()
// to the file. It runs before any test is registered or run.
const int childRun = [] {
    wchar_t buffer[1024];
    const DWORD n = GetEnvironmentVariableW(L"KX_PROCESS_CHILD", buffer, 1024);
    if (n == 0 || n >= 1024)
        return 0;
    const std::wstring command(buffer, n);
    if (command.rfind(L"lock ", 0) == 0) {
        const std::wstring name = command.substr(5);
        const auto result = platform::acquireInstanceLock(std::string(name.begin(), name.end()));
        ExitProcess(static_cast<UINT>(result));
    }
    if (command.rfind(L"folder ", 0) == 0) {
        std::ofstream(fs::path(command.substr(7)), std::ios::binary) << platform::executableFolder();
        ExitProcess(0);
    }
    ExitProcess(99);
}();

std::wstring selfPath()
{
    wchar_t buffer[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 4);
    return std::wstring(buffer, n);
}

// Runs program as a child with KX_PROCESS_CHILD set to command; its exit code.
DWORD runChild(const std::wstring& program, const std::wstring& command)
{
    SetEnvironmentVariableW(L"KX_PROCESS_CHILD", command.c_str());
    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const BOOL started =
        CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info);
    SetEnvironmentVariableW(L"KX_PROCESS_CHILD", nullptr);
    if (!started)
        return 1000 + GetLastError();
    WaitForSingleObject(info.hProcess, 60000);
    DWORD code = 999;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return code;
}

std::wstring uniqueName(const wchar_t* stem)
{
    return std::wstring(stem) + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount());
}

} // namespace

TEST(Process, InstanceLockRefusesEveryOtherTakerWhileHeld)
{
    const std::wstring name = uniqueName(L"kxInstanceTest");
    const std::string narrow(name.begin(), name.end());
    EXPECT_EQ(runChild(selfPath(), L"lock " + name), 0u); // nobody holds it: the child takes it, and it goes with the child

    ASSERT_EQ(platform::acquireInstanceLock(narrow), platform::InstanceLockResult::Acquired);
    EXPECT_EQ(runChild(selfPath(), L"lock " + name), 1u); // AlreadyRunning in another process
    EXPECT_EQ(platform::acquireInstanceLock(narrow), platform::InstanceLockResult::AlreadyRunning);
    EXPECT_EQ(runChild(selfPath(), L"lock " + uniqueName(L"kxOtherName")), 0u);

    // The machine-wide name is "Global\" + the name, as other programs look for it.
    HANDLE seen = OpenMutexW(SYNCHRONIZE, FALSE, (L"Global\\" + name).c_str());
    EXPECT_NE(seen, nullptr);
    if (seen)
        CloseHandle(seen);
}

TEST(Process, ExecutableFolderOfAProgramInAFolderWithChineseCharactersAndBlanks)
{
    test::Win32TestFolder folder;
    const fs::path copy = folder.path() / L"Kestrix 助手 test.exe";
    fs::copy_file(selfPath(), copy);
    const fs::path out = folder.path() / L"folder.txt";
    ASSERT_EQ(runChild(copy.native(), L"folder " + out.native()), 0u);
    std::ifstream in(out, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, folder.utf8());
    EXPECT_NE(text.back(), '\\');
}

// Membership counts, not elevation: a token whose Administrators entry is for denying only (as
// an administrator's token is before elevation) still passes. The check reads the thread's token
// when it has one.
TEST(Process, AdministratorCheckReadsTheTokensGroupsWhateverTheirAttributes)
{
    const bool processIsAdministrator = platform::isAdministrator();
    HANDLE process = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process));
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                         &administrators));
    BOOL member = FALSE;
    ASSERT_TRUE(CheckTokenMembership(nullptr, administrators, &member));
    SID_AND_ATTRIBUTES disable{administrators, 0};
    HANDLE restricted = nullptr;
    const BOOL made = CreateRestrictedToken(process, 0, 1, &disable, 0, nullptr, 0, nullptr, &restricted);
    CloseHandle(process);
    // Under Wine the prefix's user is an administrator, as on an administrator's Windows account.
    EXPECT_EQ(processIsAdministrator, member != FALSE);
    ASSERT_TRUE(made);
    HANDLE impersonation = nullptr;
    ASSERT_TRUE(DuplicateToken(restricted, SecurityImpersonation, &impersonation));
    ASSERT_TRUE(SetThreadToken(nullptr, impersonation));
    BOOL enabled = TRUE;
    CheckTokenMembership(nullptr, administrators, &enabled);
    const bool restrictedIsAdministrator = platform::isAdministrator();
    RevertToSelf();
    CloseHandle(impersonation);
    CloseHandle(restricted);
    FreeSid(administrators);
    EXPECT_FALSE(enabled); // the entry only denies: an elevation check would say no
    EXPECT_EQ(restrictedIsAdministrator, processIsAdministrator);
}

TEST(Process, DisplayIsAvailableOnTheInteractiveWindowStation)
{
    EXPECT_TRUE(platform::displayAvailable());
}

// The C runtime starts with 512 open files at most; every connection that serves a file uses one.
TEST(Process, OpenFileLimitIsRaisedBeyondTheRuntimesStart)
{
    const std::uint64_t limit = platform::raiseDescriptorLimit();
    EXPECT_GE(limit, 2048u);
    test::Win32TestFolder folder;
    const fs::path file = folder.path() / L"f.txt";
    std::ofstream(file) << "x";
    std::vector<FILE*> open;
    for (int i = 0; i < 1500; ++i) {
        FILE* f = _wfopen(file.c_str(), L"rb");
        if (!f)
            break;
        open.push_back(f);
    }
    EXPECT_EQ(open.size(), 1500u);
    for (FILE* f : open)
        std::fclose(f);
}
