// The companion service: which installers it runs, how an installer's update key is taken, its
// jobs (restart, update, the update completed by the companion the installer started again), and
// its local HTTP service, which refuses everything but the assistant's own two requests. The
// machine is scripted: nothing here ends or starts real programs.
#include "companion/CompanionService.h"
#include "companion/KeyRotation.h"
#include "platform/AutoRunStore.h"
#include "platform/DebianPackages.h"

#include "../common/Ed25519Signer.h"
#include "../e2e/support/Harness.h"
#include "../common/ProgramFolderFixture.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace fs = std::filesystem;
using namespace kx;
using namespace kx::companion;
using kx::test::TempProgramFolder;

namespace {

// This system's kind of installer, and the other kind.
const bool kWindows = platform::programFileName("") == ".exe";
const std::string kKind = kWindows ? ".exe" : ".deb";
const std::string kOtherKind = kWindows ? ".deb" : ".exe";
const std::string kSetup = "setup" + kKind;

// An installer's bytes: on Windows any bytes (nothing reads them before they run); elsewhere a
// real Debian package of that name, architecture and version, built with dpkg-deb.
std::string installerBytes(const std::string& tag, const std::string& package = "kestrix-assistant",
                           std::string architecture = "", const std::string& version = "9.9.9")
{
    if (kWindows)
        return "MZ " + tag;
    if (architecture.empty())
        architecture = platform::systemPackageArchitecture();
    const fs::path root = fs::temp_directory_path() / ("kx-deb-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "pkg/DEBIAN");
    fs::create_directories(root / "pkg/usr/share/doc/kx");
    std::ofstream(root / "pkg/usr/share/doc/kx/tag") << tag;
    std::ofstream(root / "pkg/DEBIAN/control") << "Package: " << package << "\nVersion: " << version
                                               << "\nArchitecture: " << architecture
                                               << "\nMaintainer: Test <test@example.com>\nDescription: test\n";
    // A fixed time stamp, so the same arguments give the same bytes.
    const std::string command = "SOURCE_DATE_EPOCH=1700000000 dpkg-deb --root-owner-group --build '" + (root / "pkg").string() + "' '" +
                                (root / "p.deb").string() + "' >/dev/null 2>&1";
    std::string bytes;
    if (std::system(command.c_str()) == 0) {
        std::ifstream in(root / "p.deb", std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    fs::remove_all(root);
    return bytes;
}

// A machine whose assistant is a list of process ids. It records every step; a run of the
// installer may be held until released, so that a second request meets a busy companion.
class ScriptedMachine : public CompanionSystem {
public:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<unsigned long> running;     // the assistant's processes
    bool endsWhenAsked = true;              // the assistant honours /appctrl
    bool holdRun = false;                   // run() waits until released
    int exitCode = 0;
    std::vector<std::string> steps;
    std::vector<std::string> noteAtRun;     // what the resume note held when the installer ran
    std::string notePath;
    unsigned long nextPid = 500;

    std::vector<unsigned long> processesOf(const std::string&) override
    {
        std::lock_guard lock(mutex);
        return running;
    }
    std::optional<platform::UserSession> sessionOf(unsigned long pid) override
    {
        platform::UserSession s;
        s.sessionId = 7;
        s.uid = 1000;
        s.environment = {"DISPLAY=:5"};
        s.description = "session of " + std::to_string(pid);
        return s;
    }
    std::optional<platform::UserSession> activeSession() override
    {
        platform::UserSession s;
        s.sessionId = 1;
        s.description = "console";
        return s;
    }
    bool waitForEnd(unsigned long pid, std::chrono::milliseconds) override
    {
        std::lock_guard lock(mutex);
        record("wait " + std::to_string(pid));
        return std::find(running.begin(), running.end(), pid) == running.end();
    }
    bool terminate(unsigned long pid) override
    {
        std::lock_guard lock(mutex);
        record("terminate " + std::to_string(pid));
        std::erase(running, pid);
        return true;
    }
    std::optional<unsigned long> start(const std::string& program, const platform::UserSession* session,
                                       std::string&) override
    {
        std::lock_guard lock(mutex);
        record("start " + fs::path(program).filename().string() + " in " +
               (session ? std::to_string(session->sessionId) : std::string("own session")));
        running.push_back(++nextPid);
        return nextPid;
    }
    std::optional<int> run(const std::string& program, const std::vector<std::string>& arguments,
                           std::string&) override
    {
        std::unique_lock lock(mutex);
        std::ifstream note(notePath);
        std::string line;
        while (std::getline(note, line))
            noteAtRun.push_back(line);
        std::string text = "run " + fs::path(program).filename().string();
        for (const std::string& a : arguments)
            text += " " + a;
        record(text);
        changed.wait(lock, [&] { return !holdRun; });
        return exitCode;
    }
    bool askAssistantToEnd(const std::string&) override
    {
        std::lock_guard lock(mutex);
        record("ask to end");
        if (endsWhenAsked)
            running.clear();
        return true;
    }
    void release()
    {
        std::lock_guard lock(mutex);
        holdRun = false;
        changed.notify_all();
    }
    std::vector<std::string> takeSteps()
    {
        std::lock_guard lock(mutex);
        return std::exchange(steps, {});
    }

private:
    void record(std::string s)
    {
        steps.push_back(std::move(s));
        changed.notify_all();
    }
};

std::string logText(const TempProgramFolder& folder)
{
    std::string all;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder.file("log"), ec))
        if (entry.path().filename().string().rfind("service-", 0) == 0) {
            std::ifstream in(entry.path(), std::ios::binary);
            all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    return all;
}

struct Fixture {
    TempProgramFolder folder;
    std::shared_ptr<CompanionLog> log = std::make_shared<CompanionLog>(folder.path());
    std::shared_ptr<ScriptedMachine> machine = std::make_shared<ScriptedMachine>();
    std::shared_ptr<CompanionJobs> jobs;

    Fixture()
    {
        // The machine's own packaged key (an installed package) is not this test's.
        platform::setPackagedUpdateKeyPath(folder.file("packaged/none.pub"));
        machine->notePath = folder.file(".companion/resume.txt");
        jobs = std::make_shared<CompanionJobs>(folder.path(), log, machine);
    }
    ~Fixture() { platform::setPackagedUpdateKeyPath(""); }
    std::string installer(const std::string& name = kSetup, const std::string& bytes = installerBytes("installer"))
    {
        folder.write("download/" + name, bytes);
        return folder.file("download/" + name);
    }
};

} // namespace

TEST(CompanionRequest, InstallerPathIsTheWholeQueryAfterFp)
{
    struct Case {
        const char* query;
        std::optional<std::string> path;
    } cases[] = {
        {"fp=C:\\Program%20Files\\Kestrix\\download\\setup.exe", "C:\\Program Files\\Kestrix\\download\\setup.exe"},
        {"fp=/opt/k/download/a&b+c.exe", "/opt/k/download/a&b+c.exe"}, // "&" and "+" belong to the path
        {"fp=%E5%AE%A2%E6%88%B7.exe", "客户.exe"},
        {"FP=x", "x"},
        {"fp=", ""},
        {"ct=2", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(installerPathFromQuery(c.query), c.path) << c.query;
}

TEST(CompanionInstaller, OnlyAFileDirectlyInTheDownloadFolderPasses)
{
    Fixture f;
    const std::string good = f.installer();
    f.folder.write("download/sub/inner.exe", "MZ");
    f.folder.write("elsewhere/" + kSetup, "MZ");
    f.folder.write("download/notes.txt", "text");
    fs::create_symlink(f.folder.file("elsewhere/" + kSetup), f.folder.file("download/link" + kKind));
    fs::create_symlink(good, f.folder.file("download/alias" + kKind));
    f.folder.write("download/other" + kOtherKind, "MZ");
    const std::string d = f.folder.file("download");
    struct Case {
        std::string path;
        int status;
    } cases[] = {
        {good, 200},
        {f.folder.file("download/alias" + kKind), 200}, // a link to a file in download/ is that file
        {d + "/../download/" + kSetup, 200},
        {d + "/../elsewhere/" + kSetup, 403},
        {f.folder.file("elsewhere/" + kSetup), 403},
        {f.folder.file("download/link" + kKind), 403}, // a link out of download/
        {f.folder.file("download/sub/inner.exe"), 403},
        {f.folder.file("download/other" + kOtherKind), 403}, // not this system's kind of installer
        {f.folder.file("download/notes.txt"), 403}, // not this system's kind of installer
        {d + "/missing" + kKind, 404},
        {d, 404}, // a folder
        {"download/setup.exe", 403}, // relative
        {"\\\\127.0.0.1\\share\\download\\" + kSetup, 403}, // a network path is never opened
        {"//127.0.0.1/share/download/" + kSetup, 403},
        {"\\\\?\\" + good, 403}, // a device path
        {"", 400},
    };
    for (const Case& c : cases) {
        const CheckedInstaller checked = checkInstaller(f.folder.path(), c.path);
        EXPECT_EQ(checked.status, c.status) << c.path << ": " << checked.problem;
        if (c.status == 200) {
            EXPECT_EQ(checked.bytes, installerBytes("installer"));
            EXPECT_EQ(checked.path, fs::canonical(good).string());
        }
    }
}

TEST(CompanionInstaller, WithAKeyOnlyAnInstallerWithAGoodSignaturePasses)
{
    Fixture f;
    test::Ed25519Signer operatorKey, otherKey;
    f.folder.write("conf/update.pub", operatorKey.publicKey());
    const std::string bytes = installerBytes("signed installer");
    const std::string path = f.installer(kSetup, bytes);
    struct Case {
        const char* what;
        std::optional<std::string> sig;
        int status;
    } cases[] = {
        {"no signature file", std::nullopt, 403},
        {"signed by another key", otherKey.header(bytes), 403},
        {"signature of other bytes", operatorKey.header(bytes + "x"), 403},
        {"not a signature", "sha256=abc", 403},
        {"good, with a line end", operatorKey.header(bytes) + "\r\n", 200},
    };
    for (const Case& c : cases) {
        fs::remove(path + ".sig");
        if (c.sig)
            f.folder.write("download/" + kSetup + ".sig", *c.sig);
        EXPECT_EQ(checkInstaller(f.folder.path(), path).status, c.status) << c.what;
    }
    f.folder.write("conf/update.pub", "not a key");
    EXPECT_EQ(checkInstaller(f.folder.path(), path).status, 403) << "an unusable key refuses everything";
}

TEST(CompanionInstaller, AKeyOthersMayChangeOrRemoveTurnsNoCheckOff)
{
    if (kWindows)
        GTEST_SKIP() << "the program folder's permissions protect the key on Windows";
    Fixture f;
    test::Ed25519Signer operatorKey, attackerKey;
    const std::string bytes = installerBytes("key trust");
    const std::string path = f.installer(kSetup, bytes);
    f.folder.write("download/" + kSetup + ".sig", attackerKey.header(bytes));
    f.folder.write("packaged/update.pub", operatorKey.publicKey());

    // A group member replaced the key with a file of its own mode, or with a link.
    f.folder.write("conf/update.pub", attackerKey.publicKey());
    fs::permissions(f.folder.file("conf/update.pub"), fs::perms::group_write, fs::perm_options::add);
    EXPECT_EQ(checkInstaller(f.folder.path(), path).status, 403) << "group-writable key";
    fs::remove(f.folder.file("conf/update.pub"));
    fs::create_symlink(f.folder.file("packaged/update.pub"), f.folder.file("conf/update.pub"));
    EXPECT_EQ(checkInstaller(f.folder.path(), path).status, 403) << "a link";
    fs::remove(f.folder.file("conf/update.pub"));

    // Removed: the key the package carries still holds.
    EXPECT_EQ(checkInstaller(f.folder.path(), path).status, 200) << "no key anywhere: unsigned updates";
    platform::setPackagedUpdateKeyPath(f.folder.file("packaged/update.pub"));
    EXPECT_EQ(checkInstaller(f.folder.path(), path).status, 403) << "signed by another key";
    f.folder.write("download/" + kSetup + ".sig", operatorKey.header(bytes));
    EXPECT_EQ(checkInstaller(f.folder.path(), path).status, 200);
}

TEST(CompanionInstaller, TheCheckedBytesAreWhatRuns)
{
    Fixture f;
    const std::string original = installerBytes("checked");
    CheckedInstaller checked = checkInstaller(f.folder.path(), f.installer(kSetup, original));
    ASSERT_EQ(checked.status, 200);
    f.installer(kSetup, "MZ swapped after the check");
    std::string error;
    const std::string staged = stageInstaller(f.folder.path(), checked, error);
    ASSERT_FALSE(staged.empty()) << error;
    EXPECT_EQ(fs::path(staged).parent_path(), fs::path(stagingFolder(f.folder.path())));
    std::ifstream in(staged, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), original);

    const InstallerCommand exe = installerCommand("/x/setup.exe", "/opt/Kestrix 客户端");
    EXPECT_EQ(exe.program, "/x/setup.exe");
    EXPECT_EQ(exe.arguments, (std::vector<std::string>{"/S", "/D=/opt/Kestrix 客户端"})); // /D= last
    const InstallerCommand deb = installerCommand("/x/k.deb", "/opt/k");
    EXPECT_EQ(deb.program, "systemd-run");
    EXPECT_NE(std::find(deb.arguments.begin(), deb.arguments.end(), "--wait"), deb.arguments.end());
    EXPECT_EQ(deb.arguments.back(), "/x/k.deb");
}

TEST(CompanionInstaller, APackageMustBeThisProgramsForThisMachineAndNewer)
{
    if (kWindows)
        GTEST_SKIP() << "Debian packages are installers only where programs carry no .exe";
    Fixture f;
    struct Case {
        const char* what;
        std::string bytes;
        int status;
    } cases[] = {
        {"this program's, this machine's", installerBytes("ok"), 200},
        {"any architecture", installerBytes("all", "kestrix-assistant", "all"), 200},
        {"another package", installerBytes("other", "some-other-package"), 403},
        {"another architecture", installerBytes("arch", "kestrix-assistant", "s390x"), 403},
        {"not a package", "garbage", 403},
    };
    for (const Case& c : cases) {
        f.installer(kSetup, c.bytes);
        EXPECT_EQ(checkInstaller(f.folder.path(), f.folder.file("download/" + kSetup)).status, c.status) << c.what;
    }
    // Never a downgrade: compared by Debian's rules, not as text.
    EXPECT_TRUE(platform::packageVersionNewer("1.10.0", "1.9.0"));
    EXPECT_TRUE(platform::packageVersionNewer("1.0.0-2", "1.0.0-1"));
    EXPECT_FALSE(platform::packageVersionNewer("1.0.0", "1.0.0"));
    EXPECT_FALSE(platform::packageVersionNewer("1.0.0~rc1", "1.0.0"));
}

TEST(CompanionKey, TheInstalledKeyIsReplacedOnlyWhenTheOldOneSignedTheNewOne)
{
    test::Ed25519Signer oldKey, newKey, stranger;
    struct Case {
        const char* what;
        std::optional<std::string> installed;
        std::string carried;
        std::string rotation;
        KeyDecision decision;
        bool endsWithCarried;
    } cases[] = {
        {"fresh folder", std::nullopt, newKey.publicKey(), "", KeyDecision::Installed, true},
        {"same key", oldKey.publicKey(), oldKey.publicKey() + "\n", "", KeyDecision::Unchanged, false},
        {"other key, no rotation signature", oldKey.publicKey(), newKey.publicKey(), "", KeyDecision::KeptInstalled, false},
        {"rotation signed by a stranger", oldKey.publicKey(), newKey.publicKey(), stranger.header(newKey.publicKey()),
         KeyDecision::KeptInstalled, false},
        {"rotation signed by the old key", oldKey.publicKey(), newKey.publicKey(), oldKey.header(newKey.publicKey()),
         KeyDecision::Replaced, true},
        {"installed key unusable", std::string("garbage"), newKey.publicKey(), "", KeyDecision::Replaced, true},
        {"carried key unusable", oldKey.publicKey(), "garbage", "", KeyDecision::Failed, false},
    };
    for (const Case& c : cases) {
        TempProgramFolder folder;
        if (c.installed)
            folder.write("conf/update.pub", *c.installed);
        std::string message;
        EXPECT_EQ(acceptCarriedKey(folder.path(), c.carried, c.rotation, message), c.decision) << c.what;
        EXPECT_FALSE(message.empty());
        const std::string now = folder.read("conf/update.pub");
        EXPECT_EQ(now, c.endsWithCarried ? c.carried : c.installed.value_or("")) << c.what;
    }
}

TEST(CompanionJobs, RestartEndsTheAssistantAndStartsItInItsSession)
{
    Fixture f;
    f.machine->running = {41};
    ASSERT_TRUE(f.jobs->tryReserve());
    EXPECT_FALSE(f.jobs->tryReserve()) << "one job at a time";
    f.jobs->startRestart();
    f.jobs->waitIdle();
    EXPECT_EQ(f.machine->takeSteps(), (std::vector<std::string>{"ask to end", "wait 41", "start KestrixAssistant in 7"}));

    // One that does not end in time is ended at once, and the log says so.
    f.machine->endsWhenAsked = false;
    const unsigned long pid = f.machine->nextPid; // the copy started just now
    ASSERT_TRUE(f.jobs->tryReserve());
    f.jobs->startRestart();
    f.jobs->waitIdle();
    EXPECT_EQ(f.machine->takeSteps(),
              (std::vector<std::string>{"ask to end", "wait " + std::to_string(pid), "terminate " + std::to_string(pid),
                                        "start KestrixAssistant in 7"}));
    EXPECT_NE(logText(f.folder).find("已强制结束"), std::string::npos);
}

TEST(CompanionJobs, AnUpdateLeavesANoteRunsTheCopyAndBringsTheAssistantBack)
{
    for (int exitCode : {0, 2}) {
        Fixture f;
        f.machine->running = {41};
        f.machine->exitCode = exitCode;
        CheckedInstaller checked = checkInstaller(f.folder.path(), f.installer());
        ASSERT_EQ(checked.status, 200);
        ASSERT_TRUE(f.jobs->tryReserve());
        f.jobs->startUpdate(std::move(checked));
        f.jobs->waitIdle();
        const std::vector<std::string> steps = f.machine->takeSteps();
        ASSERT_EQ(steps.size(), 4u);
        EXPECT_EQ(steps[0], "ask to end");
        const InstallerCommand command = installerCommand(stagingFolder(f.folder.path()) + "/" + kSetup, f.folder.path());
        EXPECT_EQ(steps[2].substr(0, 4 + fs::path(command.program).filename().string().size()),
                  "run " + fs::path(command.program).filename().string());
        EXPECT_EQ(steps[3], "start KestrixAssistant in 7") << "after a failed installer too: the old version comes back";
        // The note named the assistant's session while the installer ran, and is gone after.
        EXPECT_NE(std::find(f.machine->noteAtRun.begin(), f.machine->noteAtRun.end(), "session=7"),
                  f.machine->noteAtRun.end());
        EXPECT_FALSE(f.folder.exists(".companion/resume.txt"));
        EXPECT_FALSE(f.folder.exists(".companion/installer"));
        EXPECT_NE(logText(f.folder).find(exitCode == 0 ? "安装程序已完成" : "退出代码 2"), std::string::npos);
    }
}

TEST(CompanionJobs, ACompanionStartedByTheInstallerCompletesTheUpdate)
{
    Fixture f;
    platform::UserSession user;
    user.sessionId = 3;
    user.uid = 1000;
    user.description = "用户 1000";
    user.environment = {"DISPLAY=:0", "LANG=zh_CN.UTF-8"};
    const std::string note = CompanionJobs::noteText(user);
    const std::optional<platform::UserSession> back = CompanionJobs::sessionFromNote(note);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->sessionId, 3u);
    EXPECT_EQ(back->environment, user.environment);
    EXPECT_FALSE(CompanionJobs::sessionFromNote("none\n"));

    EXPECT_FALSE(f.jobs->resumeAfterUpdate()) << "no note, nothing to complete";
    f.folder.write(".companion/resume.txt", note);
    f.folder.write("conf/sys.ini", "[APP]\napplication.current.version=v1.1\n");
    EXPECT_TRUE(f.jobs->resumeAfterUpdate());
    EXPECT_EQ(f.machine->takeSteps(), (std::vector<std::string>{"start KestrixAssistant in 3"}));
    EXPECT_FALSE(f.folder.exists(".companion/resume.txt"));
    EXPECT_NE(logText(f.folder).find("v1.1"), std::string::npos);
}

TEST(CompanionJobs, AtLogonTheAssistantStartsOnlyWhileTheFlagIsOne)
{
    Fixture f;
    platform::setAutoRunStorePath(f.folder.file("autorun.reg"));
    platform::UserSession session;
    session.sessionId = 2;
    f.jobs->startAtLogon(session); // never written: 0
    ASSERT_TRUE(platform::writeStoredDword("AutoRun", 0));
    f.jobs->startAtLogon(session);
    EXPECT_TRUE(f.machine->takeSteps().empty());
    ASSERT_TRUE(platform::writeStoredDword("AutoRun", 1));
    f.jobs->startAtLogon(std::nullopt);
    f.jobs->startAtLogon(session);
    f.jobs->startAtLogon(session); // a copy runs now
    EXPECT_EQ(f.machine->takeSteps(), (std::vector<std::string>{"start KestrixAssistant in 2"}));
    platform::setAutoRunStorePath("");
}

// ---- the service over loopback --------------------------------------------------------------

namespace {

// The reply's status for one request on a fresh connection (0 when none came).
int statusOf(unsigned short port, const std::string& request)
{
    return kx::test::rawRequest(port, request).status;
}

std::string post(const std::string& target, const std::string& extraHeaders = "", const std::string& method = "POST")
{
    return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:13528\r\n" + extraHeaders +
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

} // namespace

TEST(CompanionService, RefusesEveryCallButTheAssistantsAndRunsNothingThen)
{
    Fixture f;
    f.machine->running = {41};
    f.installer();
    f.folder.write("elsewhere/" + kSetup, "MZ");
    CompanionService service(f.folder.path(), f.log, f.jobs);
    service.start("127.0.0.1", "0");
    const unsigned short port = service.boundPort();
    const std::string good = "/upgradeMainApp?fp=" + f.folder.file("download/" + kSetup);
    struct Case {
        const char* what;
        std::string request;
        int status;
    } cases[] = {
        {"Origin", post("/controlMainApp?ct=2", "Origin: https://shop.example\r\n"), 403},
        {"Origin null", post(good, "Origin: null\r\n"), 403},
        {"Referer", post("/controlMainApp?ct=2", "Referer: http://127.0.0.1/page\r\n"), 403},
        {"Sec-Fetch-Site", post("/controlMainApp?ct=2", "Sec-Fetch-Site: none\r\n"), 403},
        {"Sec-Fetch-Mode", post(good, "sec-fetch-mode: no-cors\r\n"), 403},
        {"foreign Host", "POST /controlMainApp?ct=2 HTTP/1.1\r\nHost: evil.example:13528\r\nContent-Length: 0\r\n\r\n", 403},
        {"GET", post("/controlMainApp?ct=2", "", "GET"), 405},
        {"other ct", post("/controlMainApp?ct=1"), 400},
        {"no fp", post("/upgradeMainApp"), 400},
        {"outside download", post("/upgradeMainApp?fp=" + f.folder.file("elsewhere/" + kSetup)), 403},
        {"..", post("/upgradeMainApp?fp=" + f.folder.file("download") + "/../elsewhere/" + kSetup), 403},
        {"relative", post("/upgradeMainApp?fp=download/" + kSetup), 403},
        {"missing", post("/upgradeMainApp?fp=" + f.folder.file("download/none" + kKind)), 404},
        {"unknown path", post("/other"), 404},
    };
    for (const Case& c : cases)
        EXPECT_EQ(statusOf(port, c.request), c.status) << c.what;
    EXPECT_TRUE(f.machine->takeSteps().empty()) << "nothing was ended, run or started";
    const std::string log = logText(f.folder);
    std::size_t lines = 0;
    for (std::size_t at = log.find("已拒绝"); at != std::string::npos; at = log.find("已拒绝", at + 1))
        ++lines;
    EXPECT_EQ(lines, std::size(cases) - 1) << "a log line for each refusal (not the unknown path)\n" << log;
}

TEST(CompanionService, OneRequestAtATime)
{
    Fixture f;
    f.machine->running = {41};
    f.machine->holdRun = true;
    f.installer();
    CompanionService service(f.folder.path(), f.log, f.jobs);
    service.start("127.0.0.1", "0");
    const unsigned short port = service.boundPort();

    EXPECT_EQ(statusOf(port, post("/upgradeMainApp?fp=" + f.folder.file("download/" + kSetup))), 200)
        << "answered before the job ends: the assistant waits for the answer to close itself";
    {
        std::unique_lock lock(f.machine->mutex);
        ASSERT_TRUE(f.machine->changed.wait_for(lock, std::chrono::seconds(10), [&] {
            return !f.machine->steps.empty() && f.machine->steps.back().rfind("run ", 0) == 0;
        }));
    }
    EXPECT_EQ(statusOf(port, post("/controlMainApp?ct=2")), 409);
    EXPECT_EQ(statusOf(port, post("/upgradeMainApp?fp=" + f.folder.file("download/" + kSetup))), 409);
    f.machine->release();
    f.jobs->waitIdle();
    EXPECT_EQ(statusOf(port, post("/controlMainApp?ct=2")), 200);
    f.jobs->waitIdle();
    EXPECT_NE(logText(f.folder).find("正在处理另一个请求"), std::string::npos);
}

TEST(CompanionService, ListensAtTheAssistantsPortPlusTwo)
{
    EXPECT_EQ(companionPort("13526"), "13528");
    for (const char* bad : {"", "x", "65534", "-1", "13526 "})
        EXPECT_THROW(companionPort(bad), std::exception) << bad;
}
