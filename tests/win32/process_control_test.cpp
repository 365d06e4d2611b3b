// The assistant's processes as the companion service handles them on Windows: copies of a program
// in a folder with Chinese characters and blanks started in their folder, found by its path however
// it is spelled (letter case, "/", short names, links), waited for and ended; an installer's exit code and arguments
// passed through the command line unchanged, its target folder argument unquoted; and the
// resolved paths of files and folders.
#include "platform/ProgramProcesses.h"
#include "platform/win32/WideText.h"

#include "Win32TestFolder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

using namespace kx;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string utf8(const std::wstring& text)
{
    return platform::win32::utf8FromWide(text);
}

// The child program copied into the folder under this name.
fs::path copyChild(const test::Win32TestFolder& folder, const std::wstring& name)
{
    const fs::path target = folder.path() / name;
    fs::copy_file(KX_TEST_CHILD, target, fs::copy_options::overwrite_existing);
    return target;
}

std::wstring longPath(const fs::path& path)
{
    wchar_t buffer[4096];
    const DWORD n = GetLongPathNameW(path.c_str(), buffer, 4096);
    return n > 0 && n < 4096 ? std::wstring(buffer, n) : path.native();
}

// The short (8.3) spelling of the path; "" when the file system gives none that differs.
std::wstring shortPath(const fs::path& path)
{
    wchar_t buffer[4096];
    const DWORD n = GetShortPathNameW(path.c_str(), buffer, 4096);
    if (n == 0 || n >= 4096)
        return {};
    std::wstring result(buffer, n);
    return result == longPath(path) ? std::wstring() : result;
}

std::wstring upper(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

std::wstring forwardSlashes(std::wstring text)
{
    std::replace(text.begin(), text.end(), L'\\', L'/');
    return text;
}

std::vector<unsigned long> sorted(std::vector<unsigned long> pids)
{
    std::sort(pids.begin(), pids.end());
    return pids;
}

// The processes of the program once the list equals `expected` (a new process may need a moment
// before its image name can be read); the last list seen when it never does within 20 s.
std::vector<unsigned long> processesOnceEqual(const std::string& program, std::vector<unsigned long> expected)
{
    expected = sorted(expected);
    std::vector<unsigned long> seen;
    for (int i = 0; i < 200; ++i) {
        seen = sorted(platform::processesOfProgram(program));
        if (seen == expected)
            break;
        Sleep(100);
    }
    return seen;
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The file's text once it exists and is not empty; "" when that does not happen within 20 s.
std::string readFileOnceThere(const fs::path& path)
{
    for (int i = 0; i < 200; ++i) {
        if (std::string text = readFile(path); !text.empty())
            return text;
        Sleep(100);
    }
    return {};
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        out.push_back(line);
    return out;
}

bool isReparsePoint(const fs::path& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// A symbolic link, or false when this system lets the process make none. The link is looked for
// afterwards: some systems answer the call with success and make nothing.
bool makeSymbolicLink(const fs::path& link, const fs::path& target, bool folder)
{
    const DWORD kind = folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    if (!CreateSymbolicLinkW(link.c_str(), target.c_str(), kind | 0x2 /* unprivileged create */))
        CreateSymbolicLinkW(link.c_str(), target.c_str(), kind);
    return isReparsePoint(link);
}

// A junction (mount point reparse point) at the empty folder `junction` to the folder `target`.
bool makeJunction(const fs::path& junction, const fs::path& target)
{
    std::error_code ec;
    fs::create_directory(junction, ec);
    if (ec)
        return false;
    HANDLE h = CreateFileW(junction.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const std::wstring substitute = L"\\??\\" + target.native();
    const std::wstring print = target.native();
    // REPARSE_DATA_BUFFER's mount point form: tag, data length, reserved, then offsets and lengths
    // of the two names in bytes, and the names with their terminating zeros.
    std::vector<unsigned char> buffer(8 + 8 + (substitute.size() + 1 + print.size() + 1) * sizeof(wchar_t));
    auto put16 = [&](std::size_t at, std::size_t value) {
        buffer[at] = static_cast<unsigned char>(value & 0xFF);
        buffer[at + 1] = static_cast<unsigned char>(value >> 8);
    };
    const std::size_t substituteBytes = substitute.size() * sizeof(wchar_t);
    const std::size_t printBytes = print.size() * sizeof(wchar_t);
    const std::size_t tag = IO_REPARSE_TAG_MOUNT_POINT;
    std::memcpy(buffer.data(), &tag, 4);
    put16(4, buffer.size() - 8);
    put16(8, 0);
    put16(10, substituteBytes);
    put16(12, substituteBytes + sizeof(wchar_t));
    put16(14, printBytes);
    std::memcpy(buffer.data() + 16, substitute.c_str(), substituteBytes + sizeof(wchar_t));
    std::memcpy(buffer.data() + 16 + substituteBytes + sizeof(wchar_t), print.c_str(), printBytes + sizeof(wchar_t));
    DWORD returned = 0;
    const BOOL made = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()),
                                      nullptr, 0, &returned, nullptr);
    CloseHandle(h);
    return made && isReparsePoint(junction);
}

} // namespace

TEST(ProgramProcesses, CopiesOfAProgramAreFoundByItsPathWaitedForAndEnded)
{
    test::Win32TestFolder folder;
    const fs::path program = copyChild(folder, L"助手 程序.exe");
    const fs::path other = copyChild(folder, L"助手 其他.exe"); // same folder, never started
    const std::string programText = utf8(program.native());
    EXPECT_TRUE(platform::processesOfProgram(programText).empty());

    std::string error;
    const auto first = platform::startProgramInSession(programText, nullptr, error);
    ASSERT_TRUE(first) << error;
    // With the session of this process: the session user's token where the system gives one,
    // otherwise this session again.
    const auto ownSession = platform::sessionOfProcess(GetCurrentProcessId());
    ASSERT_TRUE(ownSession);
    const auto second = platform::startProgramInSession(programText, &*ownSession, error);
    ASSERT_TRUE(second) << error;
    std::vector<unsigned long> all{*first, *second};
    // A copy started through the short name may carry that name as its image name.
    const std::wstring shortName = shortPath(program);
    std::optional<unsigned long> third;
    if (!shortName.empty()) {
        third = platform::startProgramInSession(utf8(shortName), nullptr, error);
        ASSERT_TRUE(third) << error;
        all.push_back(*third);
    }

    EXPECT_EQ(processesOnceEqual(programText, all), sorted(all));
    // Each works in the program's folder, also the one started with the session user's token.
    for (const unsigned long pid : {*first, *second})
        EXPECT_EQ(readFileOnceThere(program.native() + L"." + std::to_wstring(pid) + L".cwd"),
                  utf8(folder.path().native()));
    struct Spelling {
        const char* what;
        std::wstring path;
    };
    std::vector<Spelling> spellings{
        {"letter case", upper(program.native())},
        {"forward slashes", forwardSlashes(program.native())},
        {"dot folders", (folder.path() / L"." / L".." / folder.path().filename() / program.filename()).native()},
    };
    if (!shortName.empty())
        spellings.push_back({"short name", shortName});
    else
        std::printf("no short name for %s: that spelling is not checked\n", programText.c_str());
    const fs::path link = folder.path() / L"链接.exe";
    if (makeSymbolicLink(link, program, false))
        spellings.push_back({"symbolic link", link.native()});
    else
        std::printf("no symbolic link could be made: that spelling is not checked\n");
    for (const Spelling& spelling : spellings)
        EXPECT_EQ(sorted(platform::processesOfProgram(utf8(spelling.path))), sorted(all)) << spelling.what;
    EXPECT_TRUE(platform::processesOfProgram(utf8(other.native())).empty());
    EXPECT_TRUE(platform::processesOfProgram(utf8((folder.path() / L"missing.exe").native())).empty());

    const auto session = platform::sessionOfProcess(*first);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->sessionId, ownSession->sessionId);
    EXPECT_EQ(session->description, "会话 " + std::to_string(session->sessionId));

    EXPECT_FALSE(platform::waitForProcessEnd(*first, 0ms)); // it waits two minutes
    EXPECT_TRUE(platform::terminateProcess(*first));
    EXPECT_TRUE(platform::waitForProcessEnd(*first, 10s));
    all.erase(all.begin());
    EXPECT_EQ(processesOnceEqual(programText, all), sorted(all));
    EXPECT_FALSE(platform::sessionOfProcess(*first)); // read only while it runs
    EXPECT_TRUE(platform::terminateProcess(*first));  // gone already

    for (const unsigned long pid : all) {
        EXPECT_TRUE(platform::terminateProcess(pid));
        EXPECT_TRUE(platform::waitForProcessEnd(pid, 10s));
    }
    EXPECT_TRUE(processesOnceEqual(programText, {}).empty());
}

TEST(ProgramProcesses, InstallerExitCodesComeBack)
{
    test::Win32TestFolder folder;
    const std::string program = utf8(copyChild(folder, L"安装 程序.exe").native());
    for (const int code : {0, 3, 1223, -2}) {
        std::string error;
        const auto result = platform::runProgramAndWait(program, {"exit", std::to_string(code)}, error);
        ASSERT_TRUE(result) << error;
        EXPECT_EQ(*result, code);
    }
    std::string error;
    EXPECT_FALSE(platform::runProgramAndWait(folder.utf8(L"missing.exe"), {}, error));
    EXPECT_NE(error.find("CreateProcessW"), std::string::npos) << error;
    EXPECT_NE(error.find("(error "), std::string::npos) << error;
}

TEST(ProgramProcesses, InstallerArgumentsArriveUnchanged)
{
    test::Win32TestFolder folder;
    const std::string program = utf8(copyChild(folder, L"安装 程序.exe").native());
    const std::wstring output = (folder.path() / L"参数 输出.txt").native();
    const std::vector<std::string> arguments{
        "/S",
        "with blank",
        "",
        "quote\"inside",
        "ends in backslash\\",
        "C:\\folder with blanks\\",
        "two\\\\\"quote",
        "back\\slash",
        "中文 参数",
        "tab\there",
    };
    std::vector<std::string> command{"echo", utf8(output)};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::string error;
    const auto result = platform::runProgramAndWait(program, command, error);
    ASSERT_TRUE(result) << error;
    EXPECT_EQ(*result, static_cast<int>(arguments.size()));
    const std::vector<std::string> echoed = lines(readFile(output));
    ASSERT_EQ(echoed.size(), arguments.size() + 1) << readFile(output);
    for (std::size_t i = 0; i < arguments.size(); ++i)
        EXPECT_EQ(echoed[i + 1], arguments[i]) << "argument " << i;

    // The installer's target folder: last, unquoted, blanks and all.
    const std::string target = "/D=" + folder.utf8(L"目标 文件夹");
    ASSERT_TRUE(platform::runProgramAndWait(program, {"echo", utf8(output), "/S", target}, error)) << error;
    const std::string commandLine = lines(readFile(output)).at(0);
    const std::string expectedEnd = " /S " + target;
    ASSERT_GE(commandLine.size(), expectedEnd.size());
    EXPECT_EQ(commandLine.substr(commandLine.size() - expectedEnd.size()), expectedEnd) << commandLine;
}

TEST(ResolvedPaths, FilesAndFoldersResolveToOneSpelling)
{
    test::Win32TestFolder folder;
    const std::wstring base = longPath(folder.path());
    const std::wstring sub = base + L"\\子 目录";
    const std::wstring file = sub + L"\\文件 一.txt";
    fs::create_directory(sub);
    std::ofstream(fs::path(file)) << "x";

    struct Case {
        std::wstring path;
        bool folder;
        std::wstring expected; // "" = not resolved
    };
    std::vector<Case> cases{
        {file, false, file},
        {forwardSlashes(file), false, file},
        {sub + L"\\.\\文件 一.txt", false, file},
        {sub + L"\\..\\子 目录\\文件 一.txt", false, file},
        {base + L"\\不存在\\..\\子 目录\\文件 一.txt", false, file}, // ".." goes before the lookup
        {upper(file), false, file},                                  // the name as stored
        {sub + L"\\missing.txt", false, L""},
        {sub, false, L""}, // a folder is no file
        {L"", false, L""},
        {sub, true, sub},
        {sub + L"\\", true, sub},
        {forwardSlashes(sub) + L"/..", true, base},
        {file, true, L""}, // a file is no folder
    };
    if (const std::wstring shortName = shortPath(file); !shortName.empty())
        cases.push_back({shortName, false, file});
    else
        std::printf("no short name for the file: that spelling is not checked\n");
    for (const Case& c : cases) {
        const std::string resolved =
            c.folder ? platform::resolvedFolderPath(utf8(c.path)) : platform::resolvedFilePath(utf8(c.path));
        EXPECT_EQ(resolved, utf8(c.expected)) << utf8(c.path) << (c.folder ? " (folder)" : " (file)");
    }

    // Relative to the working folder.
    wchar_t previous[4096];
    const DWORD n = GetCurrentDirectoryW(4096, previous);
    ASSERT_TRUE(n > 0 && n < 4096);
    ASSERT_TRUE(SetCurrentDirectoryW(sub.c_str()));
    const std::string relativeFile = platform::resolvedFilePath("文件 一.txt");
    const std::string relativeFolder = platform::resolvedFolderPath("..");
    SetCurrentDirectoryW(previous);
    EXPECT_EQ(relativeFile, utf8(file));
    EXPECT_EQ(relativeFolder, utf8(base));
}

TEST(ResolvedPaths, LinksResolveToTheirTargets)
{
    test::Win32TestFolder folder;
    const std::wstring base = longPath(folder.path());
    const std::wstring sub = base + L"\\子 目录";
    const std::wstring file = sub + L"\\文件.txt";
    fs::create_directory(sub);
    std::ofstream(fs::path(file)) << "x";

    std::vector<std::string> made;
    if (makeSymbolicLink(base + L"\\文件链接.txt", file, false)) {
        EXPECT_EQ(platform::resolvedFilePath(utf8(base + L"\\文件链接.txt")), utf8(file));
        EXPECT_EQ(platform::resolvedFolderPath(utf8(base + L"\\文件链接.txt")), "");
        made.push_back("file link");
    }
    if (makeSymbolicLink(base + L"\\目录链接", sub, true)) {
        EXPECT_EQ(platform::resolvedFolderPath(utf8(base + L"\\目录链接")), utf8(sub));
        EXPECT_EQ(platform::resolvedFilePath(utf8(base + L"\\目录链接\\文件.txt")), utf8(file));
        made.push_back("folder link");
    }
    if (makeJunction(base + L"\\连接点", sub)) {
        EXPECT_EQ(platform::resolvedFolderPath(utf8(base + L"\\连接点")), utf8(sub));
        EXPECT_EQ(platform::resolvedFilePath(utf8(base + L"\\连接点\\文件.txt")), utf8(file));
        made.push_back("junction");
    }
    if (made.empty())
        GTEST_SKIP() << "this system made neither a symbolic link nor a junction";
    for (const std::string& kind : made)
        std::printf("checked through a %s\n", kind.c_str());
}
