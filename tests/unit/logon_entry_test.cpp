// The logon entry follows the start-with-system flag: present exactly while it is 1, copied from
// the installed template, and nothing at all where no template is installed. The companion learns
// of a written flag from its service host, without looking on a timer.
#include "platform/AutoRunStore.h"
#include "platform/LogonEntry.h"
#include "platform/ServiceHost.h"

#include "../common/ProgramFolderFixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

using namespace kx::platform;
using kx::test::TempProgramFolder;

TEST(LogonEntry, PresentExactlyWhileTheFlagIsOn)
{
    TempProgramFolder folder;
    setLogonEntryPaths({folder.file("share/autostart.desktop"), folder.file("xdg/autostart/kx.desktop")});
    std::string error;
    EXPECT_EQ(syncLogonEntry(true, error), LogonEntryChange::None) << "no template: not installed as a package";
    EXPECT_FALSE(folder.exists("xdg/autostart/kx.desktop"));

    folder.write("share/autostart.desktop", "[Desktop Entry]\nExec=KestrixAssistant\n");
    struct Step {
        bool enabled;
        LogonEntryChange change;
        bool present;
    } steps[] = {
        {true, LogonEntryChange::Added, true},   {true, LogonEntryChange::None, true},
        {false, LogonEntryChange::Removed, false}, {false, LogonEntryChange::None, false},
        {true, LogonEntryChange::Added, true},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(syncLogonEntry(s.enabled, error), s.change) << error;
        EXPECT_EQ(folder.exists("xdg/autostart/kx.desktop"), s.present);
    }
    EXPECT_EQ(folder.read("xdg/autostart/kx.desktop"), folder.read("share/autostart.desktop"));
    // An entry someone changed is put back as the package made it.
    folder.write("xdg/autostart/kx.desktop", "changed");
    EXPECT_EQ(syncLogonEntry(true, error), LogonEntryChange::Added);
    EXPECT_EQ(folder.read("xdg/autostart/kx.desktop"), folder.read("share/autostart.desktop"));
    setLogonEntryPaths({});
}

TEST(ServiceHost, AWrittenFlagIsAnEventAndATerminationSignalTheStop)
{
    TempProgramFolder folder;
    folder.write("state/.keep", "");
    setAutoRunStorePath(folder.file("state/KestrixAssistant.reg"));
    std::vector<ServiceEventKind> seen;
    const int result = runService("test", [&](ServiceContext& context) {
        context.reportRunning();
        std::thread writer([] { writeStoredDword("AutoRun", 1); });
        seen.push_back(context.nextEvent().kind);
        writer.join();
        std::raise(SIGTERM);
        seen.push_back(context.nextEvent().kind);
        seen.push_back(context.nextEvent().kind); // after a stop, stop again at once
        return 5;
    });
    EXPECT_EQ(result, 5);
    EXPECT_EQ(seen, (std::vector<ServiceEventKind>{ServiceEventKind::FlagChanged, ServiceEventKind::Stop,
                                                    ServiceEventKind::Stop}));
    setAutoRunStorePath("");
}
