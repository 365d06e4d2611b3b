// Routines that start-up and exit rely on: the run log, old-file sweeping, module folders, the
// administrator rule and the window table.
#include "common/PendingUpdate.h"
#include "common/RunLog.h"
#include "common/TextCodec.h"
#include "common/WindowTable.h"
#include "platform/Process.h"

#include "../common/TempPath.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace fs = std::filesystem;
using namespace kx;

namespace {

struct TempFolder {
    fs::path path;
    TempFolder()
    {
        path = kx::test::makeTempFolder("kx-unit-");
    }
    ~TempFolder() { fs::remove_all(path); }
    void write(const std::string& rel, const std::string& content = "x") const
    {
        fs::create_directories((path / rel).parent_path());
        std::ofstream(path / rel, std::ios::binary) << content;
    }
    std::string read(const std::string& rel) const
    {
        std::ifstream in(path / rel, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::set<std::string> names(const std::string& rel = "") const
    {
        std::set<std::string> out;
        for (const auto& e : fs::directory_iterator(path / rel))
            out.insert(e.path().filename().string());
        return out;
    }
};

std::time_t localTime(int y, int mo, int d, int h, int mi, int s)
{
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

} // namespace

TEST(RunLog, LinesAndFileNames)
{
    EXPECT_EQ(formatLogLine(localTime(2026, 12, 9, 9, 5, 1), "程序网络服务开启成功，当前端口号： 13526"),
              "【09:05:01】 程序网络服务开启成功，当前端口号： 13526");
    EXPECT_EQ(formatLogLine(localTime(2026, 1, 2, 23, 59, 59), ""), "【23:59:59】 ");
    EXPECT_EQ(logFileName(localTime(2026, 12, 9, 0, 0, 0)), "26-12-09.txt");
    EXPECT_EQ(logFileName(localTime(2031, 3, 4, 12, 0, 0)), "31-03-04.txt");
}

TEST(RunLog, SavesAppendWithCrLfIntoTheFileOfTheExitDate)
{
    TempFolder dir;
    const std::time_t day = localTime(2026, 12, 9, 23, 59, 58);
    RunLog first;
    first.add("one", day);
    first.add("two", day);
    first.save(dir.path.string(), day);
    RunLog second;
    second.add("three", localTime(2026, 12, 9, 23, 59, 59));
    // A run that crosses midnight writes into the file of the exit date.
    second.save(dir.path.string(), localTime(2026, 12, 10, 0, 0, 1));
    second.save(dir.path.string(), day);

    EXPECT_EQ(dir.read("log/26-12-09.txt"),
              "【23:59:58】 one\r\n【23:59:58】 two\r\n【23:59:59】 three\r\n");
    EXPECT_EQ(dir.read("log/26-12-10.txt"), "【23:59:59】 three\r\n");

    TempFolder blocked;
    blocked.write("log", "a file, not a folder");
    EXPECT_THROW(first.save(blocked.path.string(), day), std::exception);
}

TEST(PendingUpdate, SweepDeletesOrRestoresOnlyOldFilesDirectlyInTheFolder)
{
    TempFolder dir;
    for (const char* name : {"print.dll", "print_old.dll", "data_old.txt", "noext_old", "a_old_old.so", "keep.txt"})
        dir.write(std::string("m/") + name, name);
    dir.write("m/sub_old/inner_old.dll");

    TempFolder copy;
    fs::copy(dir.path / "m", copy.path / "m", fs::copy_options::recursive);

    EXPECT_TRUE(sweepOldFiles((dir.path / "m").string() + "/", SweepMode::Delete));
    EXPECT_EQ(dir.names("m"), (std::set<std::string>{"print.dll", "keep.txt", "sub_old"}));
    EXPECT_TRUE(fs::exists(dir.path / "m/sub_old/inner_old.dll"));

    fs::remove(copy.path / "m/print.dll");
    EXPECT_TRUE(sweepOldFiles((copy.path / "m").string(), SweepMode::Restore));
    EXPECT_EQ(copy.names("m"), (std::set<std::string>{"print.dll", "data.txt", "noext", "a.so", "keep.txt", "sub_old"}));
    EXPECT_EQ(copy.read("m/print.dll"), "print_old.dll");

    EXPECT_TRUE(sweepOldFiles((dir.path / "missing").string(), SweepMode::Delete));
}

TEST(PendingUpdate, ModuleFolders)
{
    EXPECT_EQ(moduleFolder("/opt/kx", "comp\\print\\print.dll"), "/opt/kx/comp/print/");
    EXPECT_EQ(moduleFolder("/opt/kx", "comp/print/libprint.so"), "/opt/kx/comp/print/");
    EXPECT_EQ(moduleFolder("/opt/kx", "print.dll"), "/opt/kx/");
}

TEST(Platform, AdministratorRule)
{
    EXPECT_TRUE(platform::isAdministratorFor(0, {}));
    EXPECT_TRUE(platform::isAdministratorFor(1000, {"users", "sudo"}));
    EXPECT_TRUE(platform::isAdministratorFor(1000, {"wheel"}));
    EXPECT_TRUE(platform::isAdministratorFor(1000, {"admin"}));
    EXPECT_FALSE(platform::isAdministratorFor(1000, {"users", "sudoers", "adm"}));
}

namespace {
struct Recorder : MessageTarget {
    std::vector<unsigned> posted;
    void post(unsigned m, std::uintptr_t, std::intptr_t) override { posted.push_back(m); }
    std::intptr_t send(unsigned m, std::uintptr_t w, std::intptr_t) override { return m + static_cast<std::intptr_t>(w); }
};
} // namespace

TEST(WindowTable, FindsByClassAndTitleAndDeliversMessages)
{
    auto main = std::make_shared<Recorder>();
    auto dialog = std::make_shared<Recorder>();
    WindowId m = registerWindow("TfrmMain", "Kestrix客户端助手", main);
    WindowId d = registerWindow("TfrmAbout", "关于", dialog);
    const std::string title = "Kestrix客户端助手", other = "other";
    EXPECT_EQ(findWindow("TfrmMain", &title), m);
    EXPECT_EQ(findWindow("TfrmMain", &other), 0u);
    EXPECT_EQ(findWindow("TfrmAbout", nullptr), d);
    EXPECT_TRUE(postMessage(m, 0x10, 0, 0));
    EXPECT_EQ(main->posted, std::vector<unsigned>{0x10});
    EXPECT_EQ(sendMessage(d, 0x1401, 5, 0), 0x1406);
    unregisterWindow(d);
    EXPECT_EQ(findWindow("TfrmAbout", nullptr), 0u);
    EXPECT_FALSE(postMessage(d, 0x10, 0, 0));
    EXPECT_EQ(sendMessage(d, 0x10, 0, 0), 0);
    unregisterWindow(m);
}

TEST(TextCodec, RoundTripsAndReplacements)
{
    const std::string mixed = "a中\xF0\x9F\x98\x80z";
    EXPECT_EQ(utf16ToUtf8(utf8ToUtf16(mixed)), mixed);
    EXPECT_EQ(utf8ToUtf16(mixed).size(), 5u); // the emoji is a surrogate pair
    EXPECT_EQ(utf16ToUtf8(utf8ToUtf16("\xE4\xB8")), "\xEF\xBF\xBD\xEF\xBF\xBD"); // truncated sequence
    EXPECT_EQ(utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
    EXPECT_EQ(latin1ToUtf8("\xE4\xB8\xAD"), "\xC3\xA4\xC2\xB8\xC2\xAD");
    EXPECT_EQ(utf8ToLatin1("\xC3\xA4中"), "\xE4?");
    EXPECT_EQ(utf16FromBytes(std::string("\x41\x00\x2D\x4E", 4), false), u"A中");
    EXPECT_EQ(utf16FromBytes(std::string("\x00\x41\x4E\x2D", 4), true), u"A中");
    EXPECT_EQ(utf16ToLeBytes(u"A中"), std::string("\x41\x00\x2D\x4E", 4));
    EXPECT_EQ(utf8Length(mixed), 4u);
    EXPECT_EQ(utf8Prefix(mixed, 2), "a中");
}
