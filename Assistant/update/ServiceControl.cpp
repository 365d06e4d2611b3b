#include "update/ServiceControl.h"

#include "common/AutoRun.h"
#include "common/Errors.h"
#include "common/Paths.h"
#include "common/Prompter.h"
#include "common/WindowMessages.h"
#include "http/HttpClient.h"

#include <charconv>
#include <utility>

namespace kx {

std::string controlRequestAddress(const std::string& serviceAddress, const std::string& servicePort,
                                  const std::string& requestPath)
{
    long port = 0;
    const char* first = servicePort.data();
    const char* last = first + servicePort.size();
    const auto [end, ec] = std::from_chars(first, last, port);
    if (ec != std::errc() || end != last || servicePort.empty())
        throw KxError("EConvertError", "'" + servicePort + "' is not a valid integer value");
    const std::string raw =
        "http://" + serviceAddress + ":" + std::to_string(port + 2) + requestPath;
    static const char* hex = "0123456789ABCDEF";
    std::string url;
    for (unsigned char c : raw) {
        if (c == ' ') {
            url += "%20";
        } else if (c >= 0x80) {
            url += '%';
            url += hex[c >> 4];
            url += hex[c & 15];
        } else {
            url += static_cast<char>(c);
        }
    }
    return url;
}

namespace {
// Set before the main window starts and by tests; read on the main window's thread.
ControlRequestLimits controlLimits;
} // namespace

ControlRequestLimits setControlRequestLimits(const ControlRequestLimits& limits)
{
    return std::exchange(controlLimits, limits);
}

bool sendControlRequest(const std::string& url)
{
    http::RequestOptions options;
    options.connectTimeout = controlLimits.connect;
    options.totalTimeout = controlLimits.connect + controlLimits.answer;
    return http::postForm(url, {}, options).ok;
}

bool repairService(platform::ServiceManager& manager, const std::string& serviceName,
                   const std::string& programFolder)
{
    auto scm = manager.openManager();
    if (!scm)
        return false;
    platform::OpenServiceError error = platform::OpenServiceError::None;
    auto service = scm->openService(serviceName, error);
    if (!service && error == platform::OpenServiceError::DoesNotExist)
        service = scm->createService(
            {serviceName, kCompanionServiceDisplayName, programPath(programFolder, platform::companionServiceProgram())});
    if (!service)
        return false;

    const int flag = readAutoRun();
    if (flag < 0)
        throw KxError("ERangeError", "Range check error");
    if (flag == 1)
        writeAutoRun(0);
    const bool started = service->start();
    // The flag comes back whether or not the start succeeded, so a failed repair never loses
    // the user's start-with-system choice.
    if (flag == 1)
        writeAutoRun(1);
    return started;
}

void runControlRequest(const std::string& url, const std::string& programFolder, const BalloonFn& balloon)
{
    if (sendControlRequest(url))
        return;
    if (askYesNo("客户端服务出现异常，是否立马修复！", BoxIcon::Warning, kAnswerYes) != kAnswerYes) {
        balloon("客户端异常未修复");
        return;
    }
    // The request is repeated once the service could be started.
    if (repairService(platform::serviceManager(), kCompanionServiceName, programFolder) && sendControlRequest(url))
        balloon("客户端服务修复成功");
    else
        balloon("客户端服务修复失败，请联系管理人员！");
}

void handOverUpdate(const std::string& question, const std::string& url, const std::string& programFolder,
                    const BalloonFn& balloon)
{
    if (askYesNo(question, BoxIcon::Question, kAnswerNo) != kAnswerYes)
        return;
    runControlRequest(url, programFolder, balloon);
}

} // namespace kx
