#include "shell/qt/Main.h"

#include "shell/qt/MainMessageTarget.h"
#include "shell/qt/MainTray.h"
#include "common/LoadingCount.h"
#include "common/Prompter.h"
#include "common/SystemSettings.h"
#include "common/WindowMessages.h"
#include "shell/qt/dialogs/About.h"
#include "shell/qt/dialogs/PrintSet.h"
#include "shell/qt/dialogs/ProcessPrompt.h"
#include "shell/qt/dialogs/SystemSet.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>
#include <thread>

using namespace kx;

namespace {

bool windowOfClassExists(const char* className)
{
    return findWindow(className, nullptr) != 0;
}

// Runs task on another thread while this one goes on delivering messages: a request the task
// waits for may itself be waiting for this thread (a module library sending the main window a
// loading message), and the two would otherwise wait for each other forever.
void deliverWhile(const std::function<void()>& task)
{
    QEventLoop waitForTask;
    std::thread worker([&task, &waitForTask] {
        task();
        QMetaObject::invokeMethod(&waitForTask, &QEventLoop::quit, Qt::QueuedConnection);
    });
    waitForTask.exec(QEventLoop::ExcludeUserInputEvents);
    worker.join();
}

} // namespace

TfrmMain::TfrmMain(const std::string& programFolder, QWidget* parent)
    : QWidget(parent), appFileDir_(programFolder),
      lifecycle_(programFolder,
                 [this](const std::string& line) { mmoMessageShow->appendPlainText(QString::fromStdString(line)); },
                 [this](std::function<void()> task) { QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection); }),
      updates_(programFolder, [this](const std::string& text) { tray_->promptLog(text); })
{
    setObjectName("frmMain");
    setWindowTitle(QString::fromUtf8(kApplicationTitle));
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(387, 671);
    setStyleSheet("background: white;");

    mmoMessageShow = new QPlainTextEdit(this);
    mmoMessageShow->setObjectName("mmoMessageShow");
    mmoMessageShow->setReadOnly(true);
    mmoMessageShow->setFrameShape(QFrame::NoFrame);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(mmoMessageShow);

    tmrUpApp = new QTimer(this);
    tmrUpApp->setObjectName("tmrUpApp");
    tmrUpApp->setInterval(1000);
    connect(tmrUpApp, &QTimer::timeout, this, &TfrmMain::tmrUpAppTimer);

    TrayCommands commands;
    commands.close = [this] { mniCloseClick(); };
    commands.printSettings = [this] { openPrintSettings(); };
    commands.systemSettings = [this] { openSystemSettings(); };
    commands.restart = [this] { updates_.restartClient(); };
    commands.checkUpdate = [this] { mnUpdateClick(); };
    commands.about = [this] { openAbout(); };
    tray_ = new TMainTray(this, std::move(commands));

    windowId_ = registerWindow(kMainWindowClass, kApplicationTitle, std::make_shared<MainMessageTarget>(this));
}

TfrmMain::~TfrmMain()
{
    unregisterWindow(windowId_);
}

void TfrmMain::FormCreate()
{
    manualCheck = false;
    loadingProcessNum = 0;
    lifecycle_.start();
    tmrUpApp->start();
}

void TfrmMain::recordLog(const std::string& message)
{
    lifecycle_.record(message);
}

void TfrmMain::exitApplication()
{
    if (exited_)
        return;
    exited_ = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    tmrUpApp->stop();
    lifecycle_.exit(deliverWhile);
    tray_->removeTrayIcon();
    QCoreApplication::quit();
}

std::intptr_t TfrmMain::WndProc(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    (void)wParam;
    // Messages that arrive while the exit routine runs are answered and otherwise ignored.
    if (exited_)
        return 0;
    switch (message) {
    case kCloseMessage:
        exitApplication();
        return 0;
    case WM_UPGRADE_APP:
        updates_.upgradeAppMessage(lParam);
        return 0;
    case WM_UPGRADE_DLL:
        updates_.upgradeDllMessage();
        return 0;
    case WM_LOADING_SHOW:
        loadingShow();
        return 0;
    case WM_LOADING_HIDE:
        loadingHide();
        return 0;
    default:
        return 0;
    }
}

void TfrmMain::closeEvent(QCloseEvent* event)
{
    exitApplication();
    event->accept();
}

void TfrmMain::tmrUpAppTimer()
{
    tmrUpApp->stop();
    const std::optional<int> period = updates_.startCheck(manualCheck, windowId_);
    manualCheck = false;
    if (!period)
        return; // reported; the timer stays stopped
    tmrUpApp->setInterval(*period);
    // A period of 0 means no further automatic check (a Qt timer would fire continuously).
    if (*period > 0)
        tmrUpApp->start();
}

void TfrmMain::mnUpdateClick()
{
    if (manualCheck)
        return;
    manualCheck = true;
    tmrUpApp->stop();
    tmrUpApp->setInterval(50);
    tmrUpApp->start();
}

void TfrmMain::rearmUpdateTimer(const QString& intervalText)
{
    tmrUpApp->stop();
    int hours = 0;
    try {
        hours = updateIntervalHours(intervalText.toStdString(), appFileDir_);
    } catch (const std::exception& e) {
        showMessage(e.what(), BoxIcon::Error); // the timer stays stopped
        return;
    }
    if (hours == 0)
        return; // no automatic check
    tmrUpApp->setInterval(hours * 3600000);
    tmrUpApp->start();
}

void TfrmMain::mniCloseClick()
{
    if (askYesNo("确定要退出Kestrix客户端助手吗？", BoxIcon::Warning, kAnswerYes) == kAnswerYes)
        exitApplication();
}

namespace {

// Shows one settings dialog modally unless one of its class is open already; `after` sees the
// dialog once it has closed. False when another one was open.
template <typename Dialog, typename After>
bool showDialogOnce(const char* windowClass, const std::string& programFolder, After after)
{
    if (windowOfClassExists(windowClass))
        return false;
    Dialog dialog;
    dialog.setAppFileDir(programFolder);
    dialog.exec();
    after(dialog);
    return true;
}

} // namespace

void TfrmMain::openPrintSettings()
{
    showDialogOnce<TfrmPrintSet>("TfrmPrintSet", appFileDir_, [](TfrmPrintSet&) {});
}

void TfrmMain::openSystemSettings()
{
    QString interval;
    if (showDialogOnce<TfrmSysSet>("TfrmSysSet", appFileDir_,
                                   [&interval](TfrmSysSet& dialog) { interval = dialog.intervalText(); }))
        rearmUpdateTimer(interval);
}

void TfrmMain::openAbout()
{
    showDialogOnce<TfrmAbout>("TfrmAbout", appFileDir_, [](TfrmAbout&) {});
}

void TfrmMain::createLoadingOverlay()
{
    loadingOverlay_ = std::make_shared<TfrmPrintPrompt>(appFileDir_);
}

void TfrmMain::loadingShow()
{
    if (openLoadingRequest(loadingProcessNum)) {
        // A fresh overlay replaces the previous one, which is released.
        loadingOverlay_ = std::make_shared<TfrmPrintPrompt>(appFileDir_);
        loadingOverlay_->show();
    }
}

void TfrmMain::loadingHide()
{
    if (closeLoadingRequest(loadingProcessNum) && loadingOverlay_)
        loadingOverlay_->close();
}
