// Program entry of Kestrix Assistant.
#include "shell/qt/ApplicationSetup.h"
#include "shell/qt/Main.h"
#include "shell/qt/QtPrompter.h"
#include "bridge/SigningLibrary.h"
#include "common/Prompter.h"
#include "common/WindowMessages.h"
#include "platform/Memory.h"
#include "platform/Process.h"
#include "platform/ResourceLimits.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <memory>

using namespace kx;

namespace {

void refuse(const char* text)
{
    MessageBoxRequest r;
    r.caption = kMessageBoxCaption;
    r.text = text;
    r.icon = BoxIcon::Question;
    r.buttons = BoxButtons::Ok;
    r.defaultButton = kAnswerOk;
    r.topmost = true;
    prompter().messageBox(r);
}

} // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    platform::returnLargeBlocksToSystem();
    // Every connection holds a descriptor: allow as many as the system lets this process have.
    platform::raiseDescriptorLimit();
    // Without a reachable display the program runs on Qt's offscreen platform: the HTTP service
    // and every non-visual function work, message boxes go to standard error.
    if (!platform::displayAvailable() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    configureApplication(app);
    const std::string fontWarning = missingChineseFontWarning();
    if (!fontWarning.empty())
        std::fprintf(stderr, "%s\n", fontWarning.c_str());
    if (QGuiApplication::platformName() != "offscreen")
        setPrompter(std::make_shared<QtPrompter>());

    if (!platform::isAdministrator()) {
        refuse("请以管理员身份启动Kestrix客户端助手");
        return 1;
    }
    if (platform::acquireInstanceLock("kestrixAssistant") == platform::InstanceLockResult::AlreadyRunning) {
        refuse("程序已经运行");
        return 1;
    }
    // The signing library belongs to the process: without it the client does not start.
    std::string signingError;
    if (!loadSigningLibrary(platform::executableFolder(), signingError)) {
        std::fprintf(stderr, "Kestrix客户端无法启动：%s\n", signingError.c_str());
        return 2;
    }

    // SIGTERM and SIGINT close the main window like any other close request. The handlers are
    // installed before start-up opens the service, so a signal that arrives while start-up still
    // runs waits in the pipe until the message loop takes it.
    const int signalFd = platform::terminationSignalFd();

    TfrmMain frmMain(platform::executableFolder());
    if (!fontWarning.empty())
        frmMain.recordLog(fontWarning);
    frmMain.FormCreate();
    frmMain.createLoadingOverlay();

    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (signalFd >= 0) {
        signalNotifier = std::make_unique<QSocketNotifier>(signalFd, QSocketNotifier::Read);
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, &frmMain, [&frmMain, signalFd] {
            platform::drainTerminationSignalFd(signalFd);
            frmMain.WndProc(kCloseMessage, 0, 0);
        });
    }

    return app.exec();
}
