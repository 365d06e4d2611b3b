// The steps of an update check against a loopback update server: the application request and
// installer download, the module request, package unpacking, file replacement with rollback and
// the pending-update file.
#include "update/UpdateSteps.h"

#include "common/PendingUpdate.h"
#include "update/UpdateLog.h"

#include "../common/LoopbackHttpServer.h"
#include "../common/UpdateLogCapture.h"
#include "../common/ProgramFolderFixture.h"
#include "../common/ZipBuilder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <filesystem>

namespace fs = std::filesystem;
using namespace kx;
using kx::test::CannedReply;
using kx::test::LoopbackHttpServer;
using kx::test::RecordedRequest;
using kx::test::zipBytes;

namespace {

class UpdateStepsTest : public ::testing::Test {
protected:
    void SetUp() override { setUpdatePause(std::chrono::milliseconds(0)); }

    // The run-log lines written since the last call.
    std::vector<std::string> takeLog() { return updateLog.take(); }
    // One line was written, and it holds every one of these texts.
    void expectOneLogLine(const std::vector<std::string>& texts, const std::string& context)
    {
        const auto lines = takeLog();
        ASSERT_EQ(lines.size(), 1u) << context << ": " << ::testing::PrintToString(lines);
        for (const std::string& t : texts)
            EXPECT_NE(lines[0].find(t), std::string::npos) << context << ": '" << t << "' not in " << lines[0];
    }

    // sys.ini with the update address (and version), dll.ini with print and pos.
    void configure(const std::string& url, const std::string& version = "1.0", const std::string& dllSection = "")
    {
        prog.write("conf/sys.ini", "[HTTP]\r\nserver.update.url=" + url + "\r\n[APP]\r\napplication.current.version=" +
                                       version + "\r\n[DLL]\r\n" + dllSection);
        prog.write("conf/dll.ini", "[MODULE-DLLPATH]\r\nprint=comp\\print\\print.dll\r\npos=comp\\pos\\pos.dll\r\n");
        prog.write("comp/print/print.dll", "old print");
        prog.write("comp/print/print.cfg", "old cfg");
        prog.write("comp/pos/pos.dll", "old pos");
    }
    // A server that answers the module request with this header and package.
    std::unique_ptr<LoopbackHttpServer> moduleServer(const std::string& upgradeInfo, const std::string& package)
    {
        return std::make_unique<LoopbackHttpServer>([=](const RecordedRequest& r) {
            if (r.target == "/upgrade/dll")
                return CannedReply{200, {{"UpgradeInfo", upgradeInfo}}, package};
            return CannedReply{200, {}, "no installer"};
        });
    }
    std::vector<std::string> files(const std::string& relative) const
    {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(prog.file(relative), ec))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    kx::test::TempProgramFolder prog;
    kx::test::UpdateLogCapture updateLog;
};

} // namespace

TEST(NormalizeVersion, TrimsLowersAndKeepsWhatFollowsTheFirstV)
{
    const std::pair<const char*, const char*> cases[] = {
        {"  V2.0.1  ", "2.0.1"}, {"2.0.1", "2.0.1"}, {"ver3", "er3"}, {"v1.2v3", "1.2v3"},
        {"1.0-RC", "1.0-rc"},    {"", ""},           {"   ", ""},     {"V", ""},
        {"\t2.1\t", "2.1"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(normalizeVersion(in), out) << "'" << in << "'";
}

TEST(ModuleUpdateAddress, KeepsUpToTheLastSlashAndAppendsDll)
{
    EXPECT_EQ(moduleUpdateAddress("http://h:1/base/upgrade/app"), "http://h:1/base/upgrade/dll");
    EXPECT_EQ(moduleUpdateAddress("http://h/x/"), "http://h/x/dll");
}

TEST_F(UpdateStepsTest, ApplicationCheckNeedsVersionAndAddress)
{
    LoopbackHttpServer server([](const RecordedRequest&) { return CannedReply{}; });
    for (auto [url, version] : {std::pair{server.url("/upgrade/app"), std::string("  ")},
                                std::pair{std::string(), std::string("1.0")}}) {
        configure(url, version);
        EXPECT_EQ(checkAppUpdate(prog.path()), "100");
    }
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(UpdateStepsTest, InstallerIsStoredUnderTheServerGivenName)
{
    const std::string installer("MZ\x90\x00installer\xff", 14);
    LoopbackHttpServer server([&](const RecordedRequest&) {
        return CannedReply{200, {{"app_name", "setup 2.exe"}}, installer};
    });
    configure(server.url("/upgrade/app"), " V2.0.1 ");
    prog.write("download/setup 2.exe", "an older download");

    const std::string result = checkAppUpdate(prog.path());
    EXPECT_EQ(result, prog.file("download/setup 2.exe"));
    EXPECT_EQ(prog.read("download/setup 2.exe"), installer);
    EXPECT_EQ(files("download"), std::vector<std::string>{"setup 2.exe"}); // no temporary file left
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].target, "/upgrade/app");
    EXPECT_EQ(server.requests()[0].body, "version=2.0.1");
}

TEST_F(UpdateStepsTest, DownloadsOverTheSizeCapAreRefusedBeforeTheyReachTheDisk)
{
    // The cap comes from [HTTP] update.max.download.mb (1 MiB here); what is not a whole number
    // from 1 leaves the default of 1 GiB.
    const std::string twoMiB(2u << 20, 'x');
    LoopbackHttpServer server([&](const RecordedRequest& r) {
        if (r.target == "/upgrade/app")
            return CannedReply{200, {{"app_name", "big.exe"}}, twoMiB};
        return CannedReply{200, {{"UpgradeInfo", "{\"print\":\"1.1\"}"}}, twoMiB};
    });
    configure(server.url("/upgrade/app"));
    const std::string ini = prog.read("conf/sys.ini");
    auto setCap = [&](const std::string& cap) {
        prog.write("conf/sys.ini", "[HTTP]\r\nupdate.max.download.mb=" + cap + "\r\n" + ini.substr(ini.find("server.update.url")));
    };
    for (const char* cap : {"", "0", "-5", "1x", "99999999999999999999"}) {
        setCap(cap);
        EXPECT_EQ(updateDownloadCap(prog.path()), 1024u << 20) << cap;
    }
    setCap("1");
    ASSERT_EQ(updateDownloadCap(prog.path()), 1u << 20);

    EXPECT_EQ(checkAppUpdate(prog.path()), "0");
    EXPECT_TRUE(files("download").empty());
    expectOneLogLine({"安装包已拒绝", "1048576"}, "installer");
    EXPECT_EQ(checkModuleUpdate(prog.path()), "0");
    EXPECT_FALSE(prog.exists("dll_upgrade.zip"));
    EXPECT_EQ(prog.read("comp/print/print.dll"), "old print");
    expectOneLogLine({"组件更新包已拒绝", "1048576"}, "module package");

    // Within the cap the same server's installer is taken.
    setCap("3");
    EXPECT_EQ(checkAppUpdate(prog.path()), prog.file("download/big.exe"));
}

TEST_F(UpdateStepsTest, NoInstallerWhenTheReplyLacksAUsableName)
{
    const std::vector<CannedReply> replies = {
        {200, {}, "a body but no name"},
        {200, {{"app_name", ""}}, "x"},
        {404, {{"app_name", "setup.exe"}}, "x"},
        {500, {{"app_name", "setup.exe"}}, "x"},
        {200, {{"app_name", "../escape.exe"}}, "x"},
        {200, {{"app_name", "/tmp/kx-absolute-installer.exe"}}, "x"},
        {200, {{"app_name", ".."}}, "x"},
        // A drive letter makes a Windows path relative to that drive's current folder, wherever
        // the download folder is; a colon after a name names a hidden stream of that file.
        {200, {{"app_name", "C:kx-drive-relative.exe"}}, "x"},
        {200, {{"app_name", "Z:kx-drive-relative.exe"}}, "x"},
        {200, {{"app_name", "setup.exe:hidden"}}, "x"},
    };
    for (const CannedReply& reply : replies) {
        LoopbackHttpServer server([&](const RecordedRequest&) { return reply; });
        configure(server.url("/upgrade/app"));
        const std::string name = reply.headers.empty() ? "" : reply.headers[0].second;
        EXPECT_EQ(checkAppUpdate(prog.path()), "0") << reply.status << " '" << name << "'";
        EXPECT_TRUE(files("download").empty()) << name;
    }
    EXPECT_FALSE(prog.exists("escape.exe"));
    EXPECT_FALSE(fs::exists("kx-drive-relative.exe")); // in the current folder
    EXPECT_FALSE(fs::exists("/tmp/kx-absolute-installer.exe"));

    configure("http://127.0.0.1:" + std::to_string(kx::test::closedLoopbackPort()) + "/upgrade/app");
    EXPECT_EQ(checkAppUpdate(prog.path()), "0");
}

TEST_F(UpdateStepsTest, ModuleRequestCarriesTheInstalledVersions)
{
    auto server = moduleServer("", "");
    configure(server->url("/upgrade/app"), "1.0", "print=v1.0\r\npos=\r\nca = v2.3 \r\n");
    EXPECT_EQ(moduleRequestBody(prog.path()), "{\"print\":\"v1.0\",\"ca\":\"v2.3\"}");
    EXPECT_EQ(checkModuleUpdate(prog.path()), "0"); // no UpgradeInfo: nothing to do
    ASSERT_EQ(server->requests().size(), 1u);
    EXPECT_EQ(server->requests()[0].target, "/upgrade/dll");
    EXPECT_EQ(server->requests()[0].body, "{\"print\":\"v1.0\",\"ca\":\"v2.3\"}");
    EXPECT_FALSE(prog.exists("upgrade"));
    EXPECT_FALSE(prog.exists("dll_upgrade.zip"));

    configure(server->url("/upgrade/app"), "1.0", "");
    EXPECT_EQ(moduleRequestBody(prog.path()), "{}");
}

TEST_F(UpdateStepsTest, PendingUpdateOrMissingAddressNeedNoRequest)
{
    auto server = moduleServer("{\"print\":\"1.1\"}", "");
    configure("");
    EXPECT_EQ(checkModuleUpdate(prog.path()), "100");
    configure(server->url("/upgrade/app"));
    prog.write("upgrade/upgrade.dat", "{}");
    EXPECT_EQ(checkModuleUpdate(prog.path()), "2");
    EXPECT_EQ(checkModuleUpdate(prog.path()), "2");
    EXPECT_TRUE(server->requests().empty());
}

TEST_F(UpdateStepsTest, ModulePackageReplacesFilesAndStartUpCompletesIt)
{
    const std::string package = zipBytes({
        {"print.zip", zipBytes({{"print.dll", "new print"}, {"print.cfg", "new cfg"}})},
        {"notes.txt", "other entries are unpacked too"},
    });
    auto server = moduleServer("{\"print\":\"1.1\"}", package);
    configure(server->url("/upgrade/app"), "1.0", "print=v1.0\r\n");

    EXPECT_EQ(checkModuleUpdate(prog.path()), "2");
    EXPECT_EQ(prog.read("comp/print/print.dll"), "new print");
    EXPECT_EQ(prog.read("comp/print/print_old.dll"), "old print");
    EXPECT_EQ(prog.read("comp/print/print_old.cfg"), "old cfg");
    EXPECT_EQ(prog.read("upgrade/upgrade.dat"), "{\"print\":\"1.1\"}");
    EXPECT_EQ(prog.read("upgrade/notes.txt"), "other entries are unpacked too");
    EXPECT_FALSE(prog.exists("dll_upgrade.zip"));

    applyPendingModuleUpdate(prog.path());
    EXPECT_EQ(files("comp/print"), (std::vector<std::string>{"print.cfg", "print.dll"}));
    EXPECT_NE(prog.read("conf/sys.ini").find("print=v1.1"), std::string::npos) << prog.read("conf/sys.ini");
    EXPECT_FALSE(prog.exists("upgrade"));
}

TEST_F(UpdateStepsTest, ModuleThatCannotReplaceEveryFileIsRolledBack)
{
    const std::string package = zipBytes({
        {"print.zip", zipBytes({{"print.dll", "new print"}, {"added.dll", "not there yet"}})},
        {"pos.zip", zipBytes({{"pos.dll", "new pos"}})},
    });
    auto server = moduleServer("{\"print\":\"1.1\",\"pos\":2}", package);
    configure(server->url("/upgrade/app"));

    EXPECT_EQ(checkModuleUpdate(prog.path()), "2");
    EXPECT_EQ(files("comp/print"), (std::vector<std::string>{"print.cfg", "print.dll"}));
    EXPECT_EQ(prog.read("comp/print/print.dll"), "old print");
    EXPECT_EQ(prog.read("comp/pos/pos.dll"), "new pos");
    EXPECT_EQ(prog.read("upgrade/upgrade.dat"), "{\"pos\":\"2\"}"); // other JSON values by their text
    expectOneLogLine({"组件 print", "added.dll"}, "rolled back");
}

TEST_F(UpdateStepsTest, UnknownModulesGiveAnEmptyPendingFile)
{
    const std::string package = zipBytes({{"scanner.zip", zipBytes({{"scanner.dll", "x"}})}});
    // scanner is not in dll.ini; pos is, but the package has no pos.zip.
    auto server = moduleServer("{\"scanner\":\"3.0\",\"pos\":\"2.0\"}", package);
    configure(server->url("/upgrade/app"));
    EXPECT_EQ(checkModuleUpdate(prog.path()), "2");
    EXPECT_EQ(prog.read("upgrade/upgrade.dat"), "{}");
    EXPECT_EQ(prog.read("comp/pos/pos.dll"), "old pos");
}

TEST_F(UpdateStepsTest, MaliciousArchivesWriteNothingOutside)
{
    // An escaping entry in the package fails the whole package.
    {
        auto server = moduleServer("{\"print\":\"1.1\"}",
                                   zipBytes({{"print.zip", zipBytes({{"print.dll", "new"}})}, {"../escape.txt", "x"}}));
        configure(server->url("/upgrade/app"));
        EXPECT_EQ(checkModuleUpdate(prog.path()), "0");
        EXPECT_FALSE(prog.exists("escape.txt"));
        EXPECT_FALSE(prog.exists("upgrade/upgrade.dat"));
        EXPECT_EQ(prog.read("comp/print/print.dll"), "old print");
        expectOneLogLine({"不安全", "../escape.txt"}, "escaping package");
    }
    // Escaping, absolute or linked entries in a module archive roll that module back.
    const std::vector<std::vector<kx::test::ZipItem>> moduleArchives = {
        {{"print.dll", "new"}, {"../../../escape.dll", "x"}},
        {{"print.dll", "new"}, {"/tmp/kx-absolute-module-entry.dll", "x"}},
        {{"print.dll", "new"}, {"print.cfg", "/etc/passwd", true}},
    };
    for (const auto& archive : moduleArchives) {
        auto server = moduleServer("{\"print\":\"1.1\"}", zipBytes({{"print.zip", zipBytes(archive)}}));
        configure(server->url("/upgrade/app"));
        EXPECT_EQ(checkModuleUpdate(prog.path()), "2") << archive[1].name;
        EXPECT_EQ(prog.read("upgrade/upgrade.dat"), "{}") << archive[1].name;
        EXPECT_EQ(files("comp/print"), (std::vector<std::string>{"print.cfg", "print.dll"})) << archive[1].name;
        EXPECT_EQ(prog.read("comp/print/print.dll"), "old print");
        EXPECT_EQ(prog.read("comp/print/print.cfg"), "old cfg");
        expectOneLogLine({"组件 print", "不安全", archive[1].name}, archive[1].name);
        fs::remove_all(prog.file("upgrade"));
    }
    EXPECT_FALSE(prog.exists("escape.dll"));
    EXPECT_FALSE(fs::exists("/tmp/kx-absolute-module-entry.dll"));
}

TEST_F(UpdateStepsTest, DamagedReplyFailsWithoutPendingFile)
{
    for (auto [info, package] : {std::pair{std::string("not json"), zipBytes({{"print.zip", zipBytes({{"print.dll", "n"}})}})},
                                 std::pair{std::string("[1,2]"), zipBytes({{"a.txt", "a"}})},
                                 std::pair{std::string("{\"print\":\"1.1\"}"), std::string("not a zip")}}) {
        auto server = moduleServer(info, package);
        configure(server->url("/upgrade/app"));
        EXPECT_EQ(checkModuleUpdate(prog.path()), "0") << info;
        EXPECT_FALSE(prog.exists("upgrade/upgrade.dat")) << info;
        EXPECT_FALSE(prog.exists("dll_upgrade.zip")) << info;
        EXPECT_EQ(prog.read("comp/print/print.dll"), "old print");
    }
}

TEST_F(UpdateStepsTest, OversizedPackagesAndModuleArchivesAreRefusedWithALogLine)
{
    const std::string zeros(4 << 20, '\0');
    // A package whose entry claims 3 GiB is refused before anything is written; so is one whose
    // entry unpacks to more than it claims. Nothing of either stays in upgrade/.
    const std::vector<std::string> packages = {
        kx::test::withDeclaredSize(zipBytes({{"print.zip", zipBytes({{"print.dll", "new"}})}}), 0xC0000000u),
        kx::test::withDeclaredSize(zipBytes({{"print.zip", zipBytes({{"print.dll", "new"}})}, {"pad.bin", zeros}}), 100),
    };
    for (const std::string& package : packages) {
        auto server = moduleServer("{\"print\":\"1.1\"}", package);
        configure(server->url("/upgrade/app"));
        EXPECT_EQ(checkModuleUpdate(prog.path()), "0");
        EXPECT_FALSE(prog.exists("upgrade"));
        EXPECT_FALSE(prog.exists("dll_upgrade.zip"));
        EXPECT_EQ(prog.read("comp/print/print.dll"), "old print");
        expectOneLogLine({"不安全"}, "package");
    }
    // A module archive that claims more than the cap puts the package over it: refused whole,
    // before any module is touched.
    const std::string bomb = kx::test::withDeclaredSize(zipBytes({{"print.dll", "new"}}), 0xC0000000u);
    auto server = moduleServer("{\"print\":\"1.1\"}", zipBytes({{"print.zip", bomb}}));
    configure(server->url("/upgrade/app"));
    EXPECT_EQ(checkModuleUpdate(prog.path()), "0");
    EXPECT_FALSE(prog.exists("upgrade"));
    EXPECT_EQ(files("comp/print"), (std::vector<std::string>{"print.cfg", "print.dll"}));
    EXPECT_EQ(prog.read("comp/print/print.dll"), "old print");
    expectOneLogLine({"不安全", "1073741824"}, "module archive");
}

TEST_F(UpdateStepsTest, ModuleArchivesOverTheCapTogetherAreRefusedBeforeAnyModuleIsReplaced)
{
    // Each archive claims 768 MiB, within the 1 GiB cap alone, 1.5 GiB together: the package is
    // refused whole, so neither module is half updated, and nothing of it stays in upgrade/.
    const std::string print = kx::test::withDeclaredSize(zipBytes({{"print.dll", "new"}}), 0x30000000u);
    const std::string pos = kx::test::withDeclaredSize(zipBytes({{"pos.dll", "new"}}), 0x30000000u);
    auto server = moduleServer("{\"print\":\"1.1\",\"pos\":\"2.0\"}", zipBytes({{"print.zip", print}, {"pos.zip", pos}}));
    configure(server->url("/upgrade/app"));
    EXPECT_EQ(checkModuleUpdate(prog.path()), "0");
    EXPECT_FALSE(prog.exists("upgrade"));
    EXPECT_EQ(files("comp/print"), (std::vector<std::string>{"print.cfg", "print.dll"}));
    EXPECT_EQ(prog.read("comp/print/print.dll"), "old print");
    EXPECT_EQ(prog.read("comp/pos/pos.dll"), "old pos");
    expectOneLogLine({"不安全", "1073741824"}, "package over the cap");
}

TEST(UpdateVersions, OrderedAsPeopleReadThem)
{
    const struct {
        const char* a;
        const char* b;
        int order;
    } cases[] = {
        {"1.10", "1.9", 1},     {"v1.2", "1.2.0", 0}, {"1.2", "1.2.1", -1}, {" V2.0 ", "v1.99", 1},
        {"1.02", "1.2", 0},     {"", "0.1", -1},      {"", "", 0},          {"1.2a", "1.2b", -1},
        {"1.2", "1.2a", -1},    {"10", "9", 1},       {"1..2", "1.0.2", 0}, {"99999999999999999999", "1", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compareVersions(c.a, c.b), c.order) << c.a << " vs " << c.b;
        EXPECT_EQ(compareVersions(c.b, c.a), -c.order) << c.b << " vs " << c.a;
    }
}

TEST_F(UpdateStepsTest, APackageNeverTakesAModuleToAnOlderVersion)
{
    // print is at 1.2 and the package offers 1.1 (a replayed old package): print stays; pos, not
    // installed yet, is taken.
    auto server = moduleServer("{\"print\":\"1.1\",\"pos\":\"2.0\"}",
                               zipBytes({{"print.zip", zipBytes({{"print.dll", "older print"}})},
                                         {"pos.zip", zipBytes({{"pos.dll", "new pos"}})}}));
    configure(server->url("/upgrade/app"), "1.0", "print=v1.2\r\n");
    EXPECT_EQ(checkModuleUpdate(prog.path()), "2");
    EXPECT_EQ(prog.read("comp/print/print.dll"), "old print");
    EXPECT_EQ(prog.read("comp/pos/pos.dll"), "new pos");
    EXPECT_EQ(prog.read("upgrade/upgrade.dat"), "{\"pos\":\"2.0\"}");
    expectOneLogLine({"组件 print", "1.1", "v1.2"}, "older version");
}

TEST_F(UpdateStepsTest, FailedExtractionRollsTheModuleBackAndSaysWhy)
{
    // "x" is a file in the module folder, so the entry x/print.cfg cannot be written.
    prog.write("comp/print/x", "a file, not a folder");
    auto server = moduleServer("{\"print\":\"1.1\"}",
                               zipBytes({{"print.zip", zipBytes({{"print.dll", "new"}, {"x/print.cfg", "new cfg"}})}}));
    configure(server->url("/upgrade/app"));
    prog.write("comp/print/x", "a file, not a folder");
    EXPECT_EQ(checkModuleUpdate(prog.path()), "2");
    EXPECT_EQ(prog.read("upgrade/upgrade.dat"), "{}");
    EXPECT_EQ(files("comp/print"), (std::vector<std::string>{"print.cfg", "print.dll", "x"}));
    EXPECT_EQ(prog.read("comp/print/print.dll"), "old print");
    EXPECT_EQ(prog.read("comp/print/print.cfg"), "old cfg");
    expectOneLogLine({"组件 print", "解压失败"}, "extraction");
}

TEST_F(UpdateStepsTest, RollbackNeverReplacesALiveFileWithALeftoverOldOne)
{
    // print_old.dll is left from an earlier run; print.dll is the newer live file.
    auto server = moduleServer("{\"print\":\"1.2\"}",
                               zipBytes({{"print.zip", zipBytes({{"print.cfg", "new cfg"}, {"print.dll", "new print"}})}}));
    configure(server->url("/upgrade/app"), "1.0", "print=v1.1\r\n");
    prog.write("comp/print/print.dll", "live 1.1");
    prog.write("comp/print/print_old.dll", "leftover 1.0");

    EXPECT_EQ(checkModuleUpdate(prog.path()), "2");
    EXPECT_EQ(prog.read("upgrade/upgrade.dat"), "{}");
    EXPECT_EQ(prog.read("comp/print/print.dll"), "live 1.1");
    EXPECT_EQ(prog.read("comp/print/print_old.dll"), "leftover 1.0");
    EXPECT_EQ(prog.read("comp/print/print.cfg"), "old cfg");
    EXPECT_EQ(files("comp/print"), (std::vector<std::string>{"print.cfg", "print.dll", "print_old.dll"}));
    const auto lines = takeLog();
    ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
    EXPECT_NE(lines[0].find("组件 print 未更新"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("print_old.dll 已存在"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("print_old.dll"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("两个文件均保留"), std::string::npos) << lines[1];
}

TEST_F(UpdateStepsTest, OnlyWebAddressesAreFetched)
{
    // A stand-in companion service: a gopher:// address could make the client write a raw POST to
    // it; file:// would read a local file as the "reply".
    LoopbackHttpServer companion([](const RecordedRequest&) { return CannedReply{200, {{"app_name", "x.exe"}}, "x"}; });
    const std::string hostPort = "127.0.0.1:" + std::to_string(companion.port());
    prog.write("installer.exe", "a local file");
    const std::vector<std::string> addresses = {
        "gopher://" + hostPort + "/_POST%20/upgradeMainApp%3Ffp%3D/tmp/evil.exe%20HTTP/1.1%0D%0AHost:%20x%0D%0A%0D%0A/upgrade/app",
        "dict://" + hostPort + "/upgrade/app",
        "telnet://" + hostPort + "/",
        "file://" + prog.file("installer.exe"),
        "ftp://" + hostPort + "/upgrade/app",
    };
    for (const std::string& address : addresses) {
        configure(address);
        EXPECT_EQ(checkAppUpdate(prog.path()), "0") << address;
        EXPECT_EQ(checkModuleUpdate(prog.path()), "0") << address;
    }
    EXPECT_TRUE(companion.requests().empty()) << companion.requests().at(0).target;
    EXPECT_FALSE(prog.exists("download"));
    EXPECT_FALSE(prog.exists("upgrade"));
}

TEST(PendingUpdateFile, OnlyTextVersionsNameAModule)
{
    kx::test::TempProgramFolder prog;
    prog.write("conf/dll.ini", "[MODULE-DLLPATH]\r\nprint=comp\\print\\print.dll\r\npos=comp\\pos\\pos.dll\r\n"
                               "ca=comp\\ca\\ca.dll\r\n");
    prog.write("conf/sys.ini", "[DLL]\r\nprint=v1.0\r\n");
    for (const char* m : {"print", "pos", "ca"})
        prog.write(std::string("comp/") + m + "/" + m + "_old.dll", "old");
    prog.write("upgrade/upgrade.dat", "{\"print\":1.1,\"pos\":\"2.0\",\"ca\":{\"v\":\"3\"}}");

    applyPendingModuleUpdate(prog.path());
    const std::string ini = prog.read("conf/sys.ini");
    EXPECT_NE(ini.find("print=v1.0"), std::string::npos) << ini;
    EXPECT_EQ(ini.find("print=v1.1"), std::string::npos) << ini;
    EXPECT_NE(ini.find("pos=v2.0"), std::string::npos) << ini;
    EXPECT_EQ(ini.find("ca="), std::string::npos) << ini;
    EXPECT_TRUE(prog.exists("comp/print/print_old.dll")); // named no module: left alone
    EXPECT_FALSE(prog.exists("comp/pos/pos_old.dll"));
    EXPECT_FALSE(prog.exists("upgrade"));
}
