#include "Main.h"

#include "EndpointTable.h"
#include "MainMessageTarget.h"
#include "common/Config.h"
#include "common/FolderTools.h"
#include "common/ModuleHandleList.h"
#include "common/Paths.h"
#include "common/PendingUpdate.h"
#include "common/StartupValues.h"
#include "common/WindowMessages.h"
#include "platform/DynamicLibrary.h"
#include "update/UpdateLog.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

using namespace kx;

TfrmMain::TfrmMain(const std::string& programFolder, QWidget* parent)
    : QWidget(parent), appFileDir_(programFolder)
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
    tmrTray = new QTimer(this);
    tmrTray->setObjectName("tmrTray");
    tmrTray->setInterval(300);

    createShell();

    windowId_ = registerWindow(kMainWindowClass, kApplicationTitle, std::make_shared<MainMessageTarget>(this));

    // Lines from update checks (their own threads) reach the run log on this thread.
    QPointer<TfrmMain> self(this);
    setUpdateLogSink([self](const std::string& message) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [self, message] { if (self) self->recordLog(message); }, Qt::QueuedConnection);
    });
}

TfrmMain::~TfrmMain()
{
    setUpdateLogSink({});
    unregisterWindow(windowId_);
    if (httpService_)
        httpService_->stop();
}

void TfrmMain::FormCreate()
{
    StartupValues& values = mutableStartupValues();
    values.programFolder = appFileDir_;
    manualCheck = false;
    loadingProcessNum = 0;

    applyPendingModuleUpdate(appFileDir_);
    removeFolderTree(programPath(appFileDir_, "download"));

    try {
        values.servicePort = readSysIni("HTTP", "server.port", "13526", appFileDir_);
        values.serviceAddress = readSysIni("HTTP", "server.ip", "127.0.0.1", appFileDir_);
        values.trustedSites = readSysIni("HTTP", "trusted.sites", "", appFileDir_);
    } catch (const std::exception&) {
        recordLog("初始化文件加载失败");
    }

    // The module handle list exists before the service opens, so no module request can find
    // it missing.
    ModuleHandleList::instance().create();
    startHttpService();
    registerCaHandle();
    tmrUpApp->start();
}

void TfrmMain::startHttpService()
{
    const StartupValues& values = startupValues();
    try {
        auto service = std::make_unique<http::HttpService>();
        registerEndpoints(*service);
        service->setCallerGate(makeCallerGate());
        service->start(values.serviceAddress, values.servicePort);
        httpService_ = std::move(service);
        recordLog("程序网络服务开启成功，当前端口号： " + values.servicePort);
    } catch (const std::exception&) {
        httpService_.reset();
        recordLog("程序网络服务开启异常，请检查当前IP和端口号");
    }
}

std::shared_ptr<http::CallerGate> TfrmMain::makeCallerGate()
{
    std::vector<std::string> rejected;
    http::TrustedSites sites = http::TrustedSites::parse(startupValues().trustedSites, &rejected);
    for (const std::string& entry : rejected)
        recordLog("trusted.sites 中的条目无效，已忽略：" + entry);
    if (!sites.restricts() && !std::filesystem::exists(programPath(appFileDir_, "conf/update.pub")))
        recordLog("未设置 trusted.sites 和 conf/update.pub：任何网页都能调用本服务的全部功能并指定更新地址");
    // Refusals are seen on connection threads; their log lines are added on this thread.
    return std::make_shared<http::CallerGate>(std::move(sites), [this](const std::string& line) {
        QMetaObject::invokeMethod(this, [this, line] { recordLog(line); }, Qt::QueuedConnection);
    });
}

void TfrmMain::registerCaHandle()
{
    const std::string caPath = readDllIni("MODULE-DLLPATH", "ca", "", appFileDir_);
    if (caPath.empty())
        return;
    platform::LibraryHandle handle = platform::findLoadedLibrary(programPath(appFileDir_, caPath));
    if (!handle)
        return;
    auto& list = ModuleHandleList::instance();
    if (list.contains(handle, std::chrono::milliseconds(10000)))
        platform::releaseLibrary(handle); // listed already: drop the extra reference
    else
        list.add(handle, std::chrono::milliseconds(10000));
}

bool TfrmMain::httpServiceRunning() const
{
    return httpService_ && httpService_->running();
}

void TfrmMain::recordLog(const std::string& message)
{
    const std::string& line = runLog_.add(message);
    mmoMessageShow->appendPlainText(QString::fromStdString(line));
}

void TfrmMain::saveLogFile()
{
    try {
        runLog_.save(appFileDir_);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
}

void TfrmMain::exitApplication()
{
    if (exited_)
        return;
    exited_ = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    tmrUpApp->stop();
    // The service stops first so that no request is still inside a library when it is released.
    // A request may be waiting for this thread (a module library sending the main window a
    // loading message), so the service is stopped on another thread while this one goes on
    // delivering messages; otherwise the two would wait for each other forever.
    if (httpService_) {
        QEventLoop waitForStop;
        std::thread stopper([this, &waitForStop] {
            httpService_->stop();
            QMetaObject::invokeMethod(&waitForStop, &QEventLoop::quit, Qt::QueuedConnection);
        });
        waitForStop.exec(QEventLoop::ExcludeUserInputEvents);
        stopper.join();
        httpService_.reset();
    }
    ModuleHandleList::instance().releaseAll();
    saveLogFile();
    removeTrayIcon();
    QCoreApplication::quit();
}

std::intptr_t TfrmMain::WndProc(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    (void)wParam;
    // Messages that arrive while the exit routine runs are answered and otherwise ignored.
    if (exited_)
        return 0;
    switch (message) {
    case WM_CLOSE:
        exitApplication();
        return 0;
    case WM_UPGRADE_APP: upgradeAppMessage(lParam); return 0;
    case WM_UPGRADE_DLL: upgradeDllMessage(); return 0;

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
