#include "platform/Process.h"

#include "platform/win32/WideText.h"

#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <vector>

namespace kx::platform {

// The folder part of the executable's full path, as the loader gives it.
std::string executableFolder()
{
    std::vector<wchar_t> buffer(MAX_PATH);
    while (true) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return {};
        if (n < buffer.size()) {
            std::wstring path(buffer.data(), n);
            const auto separator = path.find_last_of(L"\\/");
            return win32::utf8FromWide(separator == std::wstring::npos ? path : path.substr(0, separator));
        }
        buffer.resize(buffer.size() * 2); // cut off: try again with more room
    }
}

std::vector<std::string> commandLineArguments(int, char**)
{
    std::vector<std::string> args;
    int count = 0;
    if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count)) {
        for (int i = 1; i < count; ++i)
            args.push_back(win32::utf8FromWide(argv[i]));
        LocalFree(argv);
    }
    return args;
}

unsigned long currentProcessId()
{
    return GetCurrentProcessId();
}

bool isAdministratorFor(unsigned effectiveUid, const std::vector<std::string>& groupNames)
{
    if (effectiveUid == 0)
        return true;
    return std::any_of(groupNames.begin(), groupNames.end(), [](const std::string& g) {
        return g == "sudo" || g == "wheel" || g == "admin";
    });
}

// True when the token of this thread (or, without one, of the process) lists the built-in
// Administrators group, enabled or not: membership, not elevation.
bool isAdministrator()
{
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        if (GetLastError() != ERROR_NO_TOKEN || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return false;
    }
    // The groups are read into a buffer of 1024 bytes; a token with more groups than fit counts
    // as no member.
    alignas(TOKEN_GROUPS) unsigned char buffer[1024];
    DWORD size = 0;
    const BOOL read = GetTokenInformation(token, TokenGroups, buffer, sizeof buffer, &size);
    CloseHandle(token);
    if (!read)
        return false;

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                  0, 0, &administrators))
        return false;
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer);
    bool member = false;
    for (DWORD i = 0; i < groups->GroupCount && !member; ++i)
        member = EqualSid(groups->Groups[i].Sid, administrators) != FALSE;
    FreeSid(administrators);
    return member;
}

// The named mutex "Global\<name>", created without an owner. Another process holding it means
// another instance runs; when no mutex can be created at all the caller goes on as the first one.
InstanceLockResult acquireInstanceLock(const std::string& name)
{
    const std::wstring mutexName = L"Global\\" + win32::wideFromUtf8(name);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, mutexName.c_str());
    if (!mutex)
        return InstanceLockResult::Unavailable;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return InstanceLockResult::AlreadyRunning;
    }
    // The handle stays open (and the name taken) until the process ends.
    return InstanceLockResult::Acquired;
}

// Windows has a display wherever the process's window station is the interactive one; services
// in their own station (no desktop the user sees) have none.
bool displayAvailable()
{
    HWINSTA station = GetProcessWindowStation();
    if (!station)
        return false;
    USEROBJECTFLAGS flags{};
    if (!GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr))
        return true; // the station cannot be asked: let window creation decide
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

namespace {

int g_signalPipe[2] = {-1, -1};

// Ctrl+C and Ctrl+Break in the console the process is attached to are the requests to end it
// that Windows delivers to a process (closing the main window arrives as a window message).
BOOL WINAPI onConsoleControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    const char b = 1;
    _write(g_signalPipe[1], &b, 1);
    return TRUE;
}

} // namespace

int terminationSignalFd()
{
    if (g_signalPipe[0] >= 0)
        return g_signalPipe[0];
    if (_pipe(g_signalPipe, 256, _O_BINARY | _O_NOINHERIT) != 0) {
        g_signalPipe[0] = g_signalPipe[1] = -1;
        return -1;
    }
    if (!SetConsoleCtrlHandler(onConsoleControl, TRUE)) {
        _close(g_signalPipe[0]);
        _close(g_signalPipe[1]);
        g_signalPipe[0] = g_signalPipe[1] = -1;
        return -1;
    }
    return g_signalPipe[0];
}

// Reads only what is waiting, so the call never blocks (anonymous pipes have no non-blocking mode).
void drainTerminationSignalFd(int fd)
{
    const HANDLE pipe = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (pipe == INVALID_HANDLE_VALUE)
        return;
    DWORD waiting = 0;
    char buf[64];
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr) && waiting > 0) {
        const unsigned chunk = std::min<DWORD>(waiting, sizeof buf);
        if (_read(fd, buf, chunk) <= 0)
            return;
    }
}

} // namespace kx::platform
