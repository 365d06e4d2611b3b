// The child program of the process control and service host tests. The tests copy it under the
// name that picks what it does, since a service and a program started in a session get no
// arguments:
//   service*.exe     runs as the service of that name: writes "started", reports running, writes
//                    one line per event ("logon N", "stop"), asks twice more after the stop and
//                    writes what it got, and ends with the number in <exe>.code (0 without one).
//                    The lines go to <exe>.log.
//   foreground*.exe  runs as a service outside the service control manager: sends itself Ctrl+Break
//                    (it is started as a process group of its own), or else Ctrl+C to its console,
//                    writes the event it gets to <exe>.log and ends with 7; 200 when neither
//                    could be sent (the reason in the log).
//   any other name   without arguments: writes its working folder to <exe>.<pid>.cwd and waits two
//                    minutes, so that a test can find and end it;
//                    "exit N": ends with N;
//                    "echo FILE ARGS...": writes its command line and then each of ARGS on a line
//                    of its own to FILE (UTF-8), and ends with the number of ARGS.
#include "platform/ServiceHost.h"
#include "platform/win32/WideText.h"

#include <windows.h>

#include <shellapi.h>

#include <fstream>
#include <string>

using namespace kx;

namespace {

std::wstring ownPath()
{
    wchar_t buffer[4096];
    const DWORD n = GetModuleFileNameW(nullptr, buffer, 4096);
    return std::wstring(buffer, n);
}

std::wstring stemOf(const std::wstring& path)
{
    std::wstring name = path.substr(path.find_last_of(L'\\') + 1);
    return name.substr(0, name.find_last_of(L'.'));
}

void appendLine(const std::wstring& file, const std::string& line)
{
    std::ofstream(file.c_str(), std::ios::binary | std::ios::app) << line << '\n';
}

std::string eventText(const platform::ServiceEvent& event)
{
    if (event.kind == platform::ServiceEventKind::Stop)
        return "stop";
    return "logon " + std::to_string(event.session);
}

int runAsService(const std::wstring& path, const std::wstring& stem)
{
    const std::wstring log = path + L".log";
    return platform::runService(platform::win32::utf8FromWide(stem), [&](platform::ServiceContext& context) {
        appendLine(log, "started");
        context.reportRunning();
        for (;;) {
            const platform::ServiceEvent event = context.nextEvent();
            appendLine(log, eventText(event));
            if (event.kind == platform::ServiceEventKind::Stop)
                break;
        }
        appendLine(log, eventText(context.nextEvent()));
        appendLine(log, eventText(context.nextEvent()));
        int code = 0;
        std::ifstream((path + L".code").c_str()) >> code;
        return code;
    });
}

int runInForeground(const std::wstring& path, const std::wstring& stem)
{
    const std::wstring log = path + L".log";
    return platform::runService(platform::win32::utf8FromWide(stem), [&](platform::ServiceContext& context) {
        context.reportRunning(); // nothing to report to outside the manager
        if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, GetCurrentProcessId())) {
            const DWORD breakError = GetLastError();
            // Where Ctrl+Break cannot go to a process group (Wine), Ctrl+C to every process of the
            // console: the test ignores it meanwhile, and this process takes it again, which a
            // new process group does not.
            SetConsoleCtrlHandler(nullptr, FALSE);
            if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
                appendLine(log, "no Ctrl+Break (error " + std::to_string(breakError) + ") nor Ctrl+C (error " +
                                    std::to_string(GetLastError()) + ")");
                return 200;
            }
        }
        appendLine(log, eventText(context.nextEvent()));
        return 7;
    });
}

} // namespace

int main()
{
    const std::wstring path = ownPath();
    const std::wstring stem = stemOf(path);
    if (stem.rfind(L"service", 0) == 0)
        return runAsService(path, stem);
    if (stem.rfind(L"foreground", 0) == 0)
        return runInForeground(path, stem);

    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!argv)
        return 100;
    if (count <= 1) {
        wchar_t folder[4096];
        const DWORD n = GetCurrentDirectoryW(4096, folder);
        const std::wstring file = path + L"." + std::to_wstring(GetCurrentProcessId()) + L".cwd";
        std::ofstream(file.c_str(), std::ios::binary)
            << platform::win32::utf8FromWide(std::wstring(folder, n < 4096 ? n : 0));
        Sleep(120000);
        return 0;
    }
    const std::wstring command = argv[1];
    if (command == L"exit" && count == 3)
        return _wtoi(argv[2]);
    if (command == L"echo" && count >= 3) {
        std::ofstream out(argv[2], std::ios::binary);
        out << platform::win32::utf8FromWide(GetCommandLineW()) << '\n';
        for (int i = 3; i < count; ++i)
            out << platform::win32::utf8FromWide(argv[i]) << '\n';
        return count - 3;
    }
    return 101;
}
