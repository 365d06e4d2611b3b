#include "AppLifecycle.h"

#include "EndpointTable.h"
#include "common/Config.h"
#include "common/FolderTools.h"
#include "common/ModuleHandleList.h"
#include "common/Paths.h"
#include "common/PendingUpdate.h"
#include "common/StartupValues.h"
#include "platform/DynamicLibrary.h"

#include <chrono>
#include <cstdio>
#include <utility>

namespace kx {

AppLifecycle::AppLifecycle(std::string programFolder, Display display)
    : programFolder_(std::move(programFolder)), display_(std::move(display))
{
}

AppLifecycle::~AppLifecycle()
{
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
        service->start(values.serviceAddress, values.servicePort);
        httpService_ = std::move(service);
        record("程序网络服务开启成功，当前端口号： " + values.servicePort);
    } catch (const std::exception&) {
        httpService_.reset();
        record("程序网络服务开启异常，请检查当前IP和端口号");
    }
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

void AppLifecycle::saveLog()
{
    try {
        runLog_.save(programFolder_);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
}

} // namespace kx
