#include "app/AppLifecycle.h"

#include "app/EndpointTable.h"
#include "bridge/ModuleLibraries.h"
#include "common/Config.h"
#include "common/FolderTools.h"
#include "common/ModuleHandleList.h"
#include "common/Paths.h"
#include "common/PendingUpdate.h"
#include "common/StartupValues.h"
#include "platform/DynamicLibrary.h"
#include "platform/PathText.h"
#include "update/UpdateLog.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <utility>

namespace kx {

AppLifecycle::AppLifecycle(std::string programFolder, Display display, Post post)
    : programFolder_(std::move(programFolder)), display_(std::move(display)), post_(std::move(post))
{
    // Lines from update checks (their own threads) reach the run log on the main thread.
    if (post_)
        setUpdateLogSink([this](const std::string& message) { recordFromAnyThread(message); });
}

AppLifecycle::~AppLifecycle()
{
    if (post_)
        setUpdateLogSink({});
    if (httpService_)
        httpService_->stop();
}

void AppLifecycle::start()
{
    StartupValues& values = mutableStartupValues();
    values.programFolder = programFolder_;

    applyPendingModuleUpdate(programFolder_);
    removeFolderTree(programPath(programFolder_, "download"));

    try {
        values.servicePort = readSysIni("HTTP", "server.port", "13526", programFolder_);
        values.serviceAddress = readSysIni("HTTP", "server.ip", "127.0.0.1", programFolder_);
        values.trustedSites = readSysIni("HTTP", "trusted.sites", "", programFolder_);
    } catch (const std::exception&) {
        record("初始化文件加载失败");
    }

    // The module handle list exists before the service opens, so no module request can find
    // it missing.
    ModuleHandleList::instance().create();
    startHttpService();
    registerCaHandle();
}

void AppLifecycle::startHttpService()
{
    const StartupValues& values = startupValues();
    try {
        auto service = std::make_unique<http::HttpService>();
        registerEndpoints(*service);
        service->setCallerGate(makeCallerGate());
        service->start(values.serviceAddress, values.servicePort);
        httpService_ = std::move(service);
        record("程序网络服务开启成功，当前端口号： " + values.servicePort);
    } catch (const std::exception&) {
        httpService_.reset();
        record("程序网络服务开启异常，请检查当前IP和端口号");
    }
}

std::shared_ptr<http::CallerGate> AppLifecycle::makeCallerGate()
{
    std::vector<std::string> rejected;
    http::TrustedSites sites = http::TrustedSites::parse(startupValues().trustedSites, &rejected);
    for (const std::string& entry : rejected)
        record("trusted.sites 中的条目无效，已忽略：" + entry);
    if (!sites.restricts() && !std::filesystem::exists(platform::pathFromUtf8(programPath(programFolder_, "conf/update.pub"))))
        record("未设置 trusted.sites 和 conf/update.pub：任何网页都能调用本服务的全部功能并指定更新地址");
    // Refusals are seen on connection threads.
    return std::make_shared<http::CallerGate>(std::move(sites),
                                              [this](const std::string& line) { recordFromAnyThread(line); });
}

void AppLifecycle::registerCaHandle()
{
    const std::string caPath = readDllIni("MODULE-DLLPATH", "ca", "", programFolder_);
    if (caPath.empty())
        return;
    platform::LibraryHandle handle = platform::findLoadedLibrary(programPath(programFolder_, caPath));
    if (!handle)
        return;
    auto& list = ModuleHandleList::instance();
    if (list.contains(handle, std::chrono::milliseconds(10000)))
        platform::releaseLibrary(handle); // listed already: drop the extra reference
    else
        list.add(handle, std::chrono::milliseconds(10000));
}

bool AppLifecycle::exit(const DeliverWhile& deliverWhile)
{
    if (exited_)
        return false;
    exited_ = true;
    // The service stops first so that no request is still inside a library when it is released.
    if (httpService_) {
        deliverWhile([this] { httpService_->stop(); });
        httpService_.reset();
    }
    forgetModuleLibraries();
    ModuleHandleList::instance().releaseAll();
    saveLog();
    return true;
}

bool AppLifecycle::serviceRunning() const
{
    return httpService_ && httpService_->running();
}

void AppLifecycle::record(const std::string& message)
{
    const std::string& line = runLog_.add(message);
    if (display_)
        display_(line);
}

void AppLifecycle::recordFromAnyThread(const std::string& message)
{
    if (post_)
        post_([this, message] { record(message); });
    else
        record(message);
}

void AppLifecycle::saveLog()
{
    try {
        runLog_.save(programFolder_);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
}

} // namespace kx
