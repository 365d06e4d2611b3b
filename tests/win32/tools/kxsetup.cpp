// kxsetup: the installer test's two helpers under Wine.
//
//   kxsetup run COMMANDLINE   starts COMMANDLINE exactly as given, waits for it and exits
//                             with its exit code (125 when it cannot be started). An NSIS installer
//                             takes "/D=folder" only last and unquoted, and wine quotes every
//                             argument that holds a blank, so the line is passed through here.
//   kxsetup hold FILE         opens FILE for reading with no sharing at all, as a program holding
//                             its file would, prints "held" and keeps it open until its standard
//                             input ends; exit 1 when the file cannot be opened.
#include <windows.h>
#include <shellapi.h>

#include <string>

namespace {

void print(const char* text)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(lstrlenA(text)), &written, nullptr);
}

int run(const wchar_t* commandLine)
{
    std::wstring line = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return 125;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 125;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

int hold(const wchar_t* path)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    print("held\n");
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    }
    CloseHandle(file);
    return 0;
}

} // namespace

int main()
{
    // The arguments as Windows has them (the C runtime's argv is in the ANSI code page).
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv && argc == 3 && lstrcmpW(argv[1], L"run") == 0)
        return run(argv[2]);
    if (argv && argc == 3 && lstrcmpW(argv[1], L"hold") == 0)
        return hold(argv[2]);
    print("usage: kxsetup run COMMANDLINE | kxsetup hold FILE\n");
    return 2;
}
