// The systemd stand-in for the service manager, driven against a scripted systemctl that keeps
// its unit state in files and records every call.
#include "platform/ServiceManager.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;
using namespace kx::platform;

namespace {

std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class SystemdTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kx-systemd-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        fs::create_directories(dir_ / "run");
        fs::create_directories(dir_ / "units");
        fs::create_directories(dir_ / "state");
        const fs::path script = dir_ / "systemctl";
        std::ofstream(script) << "#!/bin/sh\n"
                                 "S=" << (dir_ / "state").string() << "\n"
                                 "echo \"$*\" >> $S/calls\n"
                                 "case \"$1\" in\n"
                                 "show) if [ -f $S/loaded ]; then echo loaded; else echo not-found; fi ;;\n"
                                 "is-active) [ -f $S/active ] && exit 0; exit 3 ;;\n"
                                 "start) [ -f $S/startfail ] && exit 1; touch $S/active ;;\n"
                                 "enable) touch $S/loaded ;;\n"
                                 "esac\n"
                                 "exit 0\n";
        fs::permissions(script, fs::perms::owner_all);
        paths_.runtimeMarker = (dir_ / "run").string();
        paths_.unitFolder = (dir_ / "units").string();
        paths_.systemctl = script.string();
    }
    void TearDown() override { fs::remove_all(dir_); }
    void touch(const char* name) { std::ofstream(dir_ / "state" / name) << ""; }
    std::string calls() { return slurp(dir_ / "state" / "calls"); }

    fs::path dir_;
    SystemdPaths paths_;
};

} // namespace

TEST_F(SystemdTest, WithoutSystemdTheManagerCannotBeOpened)
{
    paths_.runtimeMarker = (dir_ / "no-such-folder").string();
    EXPECT_EQ(makeSystemdServiceManager(paths_)->openManager(), nullptr);
}

TEST_F(SystemdTest, MissingServiceIsReportedThenRegisteredEnabledAndStarted)
{
    auto scm = makeSystemdServiceManager(paths_)->openManager();
    ASSERT_NE(scm, nullptr);
    OpenServiceError error = OpenServiceError::None;
    EXPECT_EQ(scm->openService("KestrixAssistantServer", error), nullptr);
    EXPECT_EQ(error, OpenServiceError::DoesNotExist);

    const ServiceRegistration reg{"KestrixAssistantServer", "Kestrix Assistant Server", "/opt/Kestrix 1/KxService"};
    auto service = scm->createService(reg);
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(slurp(dir_ / "units" / "KestrixAssistantServer.service"), systemdUnitText(reg));
    EXPECT_TRUE(service->start());
    EXPECT_EQ(calls(), "show -p LoadState --value KestrixAssistantServer.service\n"
                       "daemon-reload\n"
                       "enable KestrixAssistantServer.service\n"
                       "is-active --quiet KestrixAssistantServer.service\n"
                       "start KestrixAssistantServer.service\n");

    // Now registered: it opens, and a second start fails because it already runs.
    auto again = scm->openService("KestrixAssistantServer", error);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(error, OpenServiceError::None);
    EXPECT_FALSE(again->start());
}

TEST_F(SystemdTest, FailedStartAndUnknownStateAreFailures)
{
    touch("loaded");
    touch("startfail");
    auto scm = makeSystemdServiceManager(paths_)->openManager();
    OpenServiceError error = OpenServiceError::None;
    auto service = scm->openService("KestrixAssistantServer", error);
    ASSERT_NE(service, nullptr);
    EXPECT_FALSE(service->start());

    paths_.systemctl = (dir_ / "missing-systemctl").string();
    auto broken = makeSystemdServiceManager(paths_)->openManager();
    EXPECT_EQ(broken->openService("KestrixAssistantServer", error), nullptr);
    EXPECT_EQ(error, OpenServiceError::Other);
}

TEST_F(SystemdTest, ReconfigureRewritesOnlyAUnitItWrote)
{
    touch("loaded");
    const ServiceRegistration reg{"KestrixAssistantServer", "Kestrix Assistant Server", "/opt/k/KxService"};
    // The package's unit, reached here through its alias: left as the package made it.
    fs::create_directories(dir_ / "lib");
    std::ofstream(dir_ / "lib" / "kestrix-assistant-server.service") << "packaged";
    fs::create_symlink(dir_ / "lib" / "kestrix-assistant-server.service", dir_ / "units" / "KestrixAssistantServer.service");
    auto manager = makeSystemdServiceManager(paths_)->openManager();
    ASSERT_NE(manager, nullptr);
    OpenServiceError error{};
    auto service = manager->openService("KestrixAssistantServer", error);
    ASSERT_NE(service, nullptr);
    EXPECT_TRUE(service->reconfigure(reg));
    EXPECT_EQ(slurp(dir_ / "lib" / "kestrix-assistant-server.service"), "packaged");
    EXPECT_TRUE(fs::is_symlink(dir_ / "units" / "KestrixAssistantServer.service"));

    // One it wrote itself is brought up to date.
    fs::remove(dir_ / "units" / "KestrixAssistantServer.service");
    std::ofstream(dir_ / "units" / "KestrixAssistantServer.service") << "old";
    EXPECT_TRUE(service->reconfigure(reg));
    EXPECT_EQ(slurp(dir_ / "units" / "KestrixAssistantServer.service"), systemdUnitText(reg));
}

TEST(SystemdUnitText, RunsTheProgramAutomaticallyWithItsPathQuoted)
{
    const std::string text = systemdUnitText({"S", "Kestrix Assistant Server", "/opt/a b/100%\"$x\\KxService"});
    EXPECT_NE(text.find("Description=Kestrix Assistant Server\n"), std::string::npos);
    EXPECT_NE(text.find("ExecStart=\"/opt/a b/100%%\\\"$$x\\\\KxService\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[Install]\nWantedBy=multi-user.target\n"), std::string::npos);
}
