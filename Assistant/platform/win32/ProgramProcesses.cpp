// The assistant's processes as the companion service sees them on Windows.
//
// Finding a program's processes: every process of the snapshot whose image (as
// QueryFullProcessImageNameW gives it) resolves to the same file path as the program, compared
// without regard to letter case as NTFS compares names. Both sides are resolved through an open
// handle (GetFinalPathNameByHandleW), so a short (8.3) name, a junction or a symbolic link on
// either side still names the same file.
//
// Starting in a user's session: a service under the system account takes the session user's token
// (WTSQueryUserToken); for an administrator with user account control that is the filtered token,
// and the elevated one linked to it is used instead, so the program runs with the administrator
// rights it needs and no elevation prompt appears on a desktop nobody may be watching. Without a
// session token (not the system account, a console run, Wine) the program starts in the caller's
// own session.
//
// Running an installer: the command line follows the quoting the C runtime's argument parser
// undoes (an argument with blanks or quotes goes in double quotes; backslashes before a quote are
// doubled and the quote escaped; backslashes before the closing quote doubled). An argument that
// starts with "/D=" goes in as it is: the NSIS installer reads its target folder from the rest of
// the command line after "/D=" (it must come last), blanks included, and does not take quotes
// there.
#include "platform/ProgramProcesses.h"

#include "platform/PathText.h"
#include "platform/win32/WideText.h"

#include <windows.h>

#include <tlhelp32.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <algorithm>
#include <limits>

namespace kx::platform {

namespace {

class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    ~OwnedHandle() { reset(); }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    HANDLE get() const { return h_; }
    HANDLE* out()
    {
        reset();
        return &h_;
    }
    void reset()
    {
        if (h_)
            CloseHandle(h_);
        h_ = nullptr;
    }
    explicit operator bool() const { return h_ != nullptr; }

private:
    HANDLE h_ = nullptr;
};

std::string failure(const char* call)
{
    const DWORD error = GetLastError();
    return std::string(call) + " failed: " + win32::systemErrorText(error);
}

std::wstring widePath(const std::string& path)
{
    return win32::wideFromUtf8(toNativeSeparators(path));
}

// The path of an open file or folder in drive form ("C:\...") or UNC form ("\\server\share\..."),
// with every link and short name resolved.
std::wstring finalPath(HANDLE file)
{
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0)
            return {};
        if (n < buffer.size()) {
            buffer.resize(n);
            break;
        }
        buffer.resize(n); // n is the size needed, the terminating zero included
    }
    static const std::wstring uncPrefix = L"\\\\?\\UNC\\";
    static const std::wstring longPrefix = L"\\\\?\\";
    if (buffer.compare(0, uncPrefix.size(), uncPrefix) == 0)
        return L"\\\\" + buffer.substr(uncPrefix.size());
    if (buffer.compare(0, longPrefix.size(), longPrefix) == 0)
        return buffer.substr(longPrefix.size());
    return buffer;
}

// The resolved path of an existing file (folder false) or folder (folder true); "" otherwise.
// The handle asks for the attributes only and shares everything, so a running program, a file
// open for writing or one about to be deleted can still be resolved.
std::wstring resolvedWide(const std::wstring& path, bool folder)
{
    if (path.empty())
        return {};
    OwnedHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file)
        return {};
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.get(), &info))
        return {};
    if (((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder)
        return {};
    return finalPath(file.get());
}

bool samePath(const std::wstring& a, const std::wstring& b)
{
    if (a.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()) || a.size() != b.size())
        return false;
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
        CSTR_EQUAL;
}

std::wstring imageOf(HANDLE process)
{
    std::wstring buffer(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 6; ++attempt) {
        DWORD n = static_cast<DWORD>(buffer.size());
        if (QueryFullProcessImageNameW(process, 0, buffer.data(), &n)) {
            buffer.resize(n);
            return buffer;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return {};
        buffer.resize(buffer.size() * 2);
    }
    return {};
}

DWORD milliseconds(std::chrono::milliseconds timeout)
{
    if (timeout.count() <= 0)
        return 0;
    return static_cast<DWORD>(std::min<long long>(timeout.count(), INFINITE - 1));
}

// The folder part of a program path ("" when it has none).
std::wstring folderOf(const std::wstring& program)
{
    const auto separator = program.find_last_of(L'\\');
    if (separator == std::wstring::npos)
        return {};
    std::wstring folder = program.substr(0, separator);
    if (folder.size() == 2 && folder[1] == L':')
        folder += L'\\'; // "C:" alone would be the drive's current folder, not its root
    return folder;
}

// One argument as the C runtime's parser reads it back unchanged.
std::wstring quotedArgument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"')
            out.append(backslashes * 2 + 1, L'\\');
        else
            out.append(backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

bool startsWithTargetFolder(const std::string& argument)
{
    return argument.rfind("/D=", 0) == 0;
}

std::optional<unsigned long> startInOwnSession(const std::wstring& program, std::string& error)
{
    std::wstring commandLine = L"\"" + program + L"\"";
    const std::wstring folder = folderOf(program);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                        nullptr, folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
        error = failure("CreateProcessW");
        return std::nullopt;
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return info.dwProcessId;
}

// The token to start the session user's programs with: the elevated one when the user's own is
// the filtered token of an administrator, as a primary token.
bool userPrimaryToken(HANDLE userToken, OwnedHandle& primary, std::string& error)
{
    OwnedHandle linked;
    HANDLE source = userToken;
    TOKEN_ELEVATION_TYPE elevation = TokenElevationTypeDefault;
    DWORD size = 0;
    if (GetTokenInformation(userToken, TokenElevationType, &elevation, sizeof elevation, &size) &&
        elevation == TokenElevationTypeLimited) {
        TOKEN_LINKED_TOKEN link{};
        if (!GetTokenInformation(userToken, TokenLinkedToken, &link, sizeof link, &size)) {
            error = failure("GetTokenInformation(TokenLinkedToken)");
            return false;
        }
        *linked.out() = link.LinkedToken;
        source = linked.get();
    }
    if (!DuplicateTokenEx(source, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, primary.out())) {
        error = failure("DuplicateTokenEx");
        return false;
    }
    return true;
}

std::optional<unsigned long> startAsSessionUser(HANDLE userToken, const std::wstring& program, std::string& error)
{
    OwnedHandle primary;
    if (!userPrimaryToken(userToken, primary, error))
        return std::nullopt;
    void* environment = nullptr;
    if (!CreateEnvironmentBlock(&environment, primary.get(), FALSE)) {
        error = failure("CreateEnvironmentBlock");
        return std::nullopt;
    }
    std::wstring commandLine = L"\"" + program + L"\"";
    const std::wstring folder = folderOf(program);
    std::wstring desktop = L"winsta0\\default";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = desktop.data();
    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessAsUserW(primary.get(), program.c_str(), commandLine.data(), nullptr, nullptr,
                                              FALSE, CREATE_UNICODE_ENVIRONMENT, environment,
                                              folder.empty() ? nullptr : folder.c_str(), &startup, &info);
    if (!started)
        error = failure("CreateProcessAsUserW");
    DestroyEnvironmentBlock(environment);
    if (!started)
        return std::nullopt;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return info.dwProcessId;
}

UserSession sessionWithId(DWORD id)
{
    UserSession session;
    session.sessionId = id;
    session.description = "会话 " + std::to_string(id);
    return session;
}

} // namespace

std::string resolvedFilePath(const std::string& path)
{
    return win32::utf8FromWide(resolvedWide(widePath(path), false));
}

std::string resolvedFolderPath(const std::string& path)
{
    return win32::utf8FromWide(resolvedWide(widePath(path), true));
}

std::vector<unsigned long> processesOfProgram(const std::string& program)
{
    std::vector<unsigned long> found;
    const std::wstring target = resolvedWide(widePath(program), false);
    if (target.empty())
        return found; // no such program file: nothing can be running it
    OwnedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return found;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == 0)
            continue; // the idle process has no image
        OwnedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        if (!process)
            continue; // ended since the snapshot, or protected
        const std::wstring image = imageOf(process.get());
        if (image.empty())
            continue;
        // Most images are named as they resolve; only the others need the file opened.
        if (samePath(image, target) || samePath(resolvedWide(image, false), target))
            found.push_back(entry.th32ProcessID);
    }
    return found;
}

bool waitForProcessEnd(unsigned long pid, std::chrono::milliseconds timeout)
{
    OwnedHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER; // no process with that id
    return WaitForSingleObject(process.get(), milliseconds(timeout)) == WAIT_OBJECT_0;
}

bool terminateProcess(unsigned long pid)
{
    OwnedHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER;
    // A process already on its way out refuses the termination with access denied; the wait
    // below tells whether it went.
    TerminateProcess(process.get(), 1);
    return WaitForSingleObject(process.get(), 5000) == WAIT_OBJECT_0;
}

std::optional<UserSession> sessionOfProcess(unsigned long pid)
{
    // The open handle keeps the id from going to another process while the session is read, and
    // tells a running process from an ended one.
    OwnedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid));
    if (!process || WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT)
        return std::nullopt;
    DWORD session = 0;
    if (!ProcessIdToSessionId(pid, &session))
        return std::nullopt;
    return sessionWithId(session);
}

std::optional<UserSession> activeUserSession()
{
    const DWORD session = WTSGetActiveConsoleSessionId();
    if (session == 0xFFFFFFFF)
        return std::nullopt; // the console is being switched between sessions
    wchar_t* user = nullptr;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, &user, &bytes))
        return std::nullopt;
    const bool signedIn = user && user[0] != L'\0';
    WTSFreeMemory(user);
    if (!signedIn)
        return std::nullopt; // the console shows the sign-in screen
    return sessionWithId(session);
}

std::optional<unsigned long> startProgramInSession(const std::string& program, const UserSession* session,
                                                   std::string& error)
{
    const std::wstring path = widePath(program);
    if (session) {
        OwnedHandle userToken;
        if (WTSQueryUserToken(session->sessionId, userToken.out()))
            return startAsSessionUser(userToken.get(), path, error);
    }
    return startInOwnSession(path, error);
}

std::optional<int> runProgramAndWait(const std::string& program, const std::vector<std::string>& arguments,
                                     std::string& error)
{
    const std::wstring path = widePath(program);
    std::wstring commandLine = L"\"" + path + L"\"";
    for (const std::string& argument : arguments) {
        const std::wstring wide = win32::wideFromUtf8(argument);
        commandLine += L' ';
        commandLine += startsWithTargetFolder(argument) ? wide : quotedArgument(wide);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr, &startup, &info)) {
        error = failure("CreateProcessW");
        return std::nullopt;
    }
    CloseHandle(info.hThread);
    OwnedHandle process(info.hProcess);
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code)) {
        error = failure("GetExitCodeProcess");
        return std::nullopt;
    }
    return static_cast<int>(code);
}

} // namespace kx::platform
