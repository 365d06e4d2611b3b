#include "bridge/KxRemoteActuator.h"

#include "bridge/Base64Text.h"
#include "bridge/CompactJson.h"
#include "bridge/ModuleCall.h"
#include "bridge/ScriptReply.h"
#include "common/Config.h"
#include "common/Paths.h"
#include "common/StartupValues.h"
#include "platform/DynamicLibrary.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <vector>

namespace kx {

namespace {

// A library that answered once stays loaded for the rest of the run: one reference per library is
// kept here (instead of one per successful call, which would only grow a counter).
std::mutex keptMutex;
std::vector<platform::LibraryHandle> keptLibraries;

void keepLoaded(platform::LibraryHandle handle)
{
    std::lock_guard lock(keptMutex);
    if (std::find(keptLibraries.begin(), keptLibraries.end(), handle) == keptLibraries.end())
        keptLibraries.push_back(handle);
    else
        platform::releaseLibrary(handle);
}

// The reasons a call stops reach no page; they go to standard error for whoever runs the client.
std::string stop(platform::LibraryHandle handle, const char* reason, const std::string& method)
{
    std::fprintf(stderr, "NontaxAgencyActuator %s: %s\n", method.c_str(), reason);
    platform::releaseLibrary(handle);
    return {};
}

} // namespace

std::string TKxRemoteActuator::serviceEntry(const std::string& appFileDir, const std::string& module,
                                            const std::string& method, const std::string& inParams)
{
    const std::string relative = readDllIni("MODULE-DLLPATH", module, "", appFileDir);
    platform::LibraryHandle handle = relative.empty() ? nullptr : platform::loadLibrary(programPath(appFileDir, relative));
    if (inParams.empty())
        return stop(handle, "DLL参数为空", method);
    if (!handle)
        return stop(handle, "未找到指定的DLL文件", method);
    void* entry = platform::libraryExport(handle, method);
    if (!entry)
        return stop(handle, "在DLL中未找到指定的方法", method);
    CallOutcome outcome;
    try {
        outcome = callAgencyForm(entry, inParams);
    } catch (...) {
        outcome = CallOutcome{};
    }
    if (outcome.kind != CallOutcome::Kind::Result)
        return stop(handle, "DLL调用出现异常", method);
    keepLoaded(handle);
    return std::move(outcome.result).toUtf8();
}

std::string TKxRemoteActuator::buildResponse(const std::string& id, const std::string& textCode, const std::string& ret)
{
    Json data = Json::object();
    data["id"] = id;
    data["ret"] = encodeBase64Text(ret);
    return wrapScriptReply(textCode, scriptSafeJson(data));
}

void TKxRemoteActuator::OnPost(http::HttpRequest& request, http::HttpResponse& response)
{
    const std::string id = request.param("id");
    const std::string method = request.param("Method");
    const std::string mode = request.param("agency3intfc");
    const std::string inParams = decodeAgencyParams(request.param("Params"));
    const std::string& folder = startupValues().programFolder;
    const std::string prefix = readProgramScriptPrefix(folder);
    const std::string result = serviceEntry(folder, "NontaxAgencyActuator", method, inParams);
    response.setBody(mode == "agency3intfc" ? encodeBase64Text(result) : buildResponse(id, prefix, result));
    response.contentType = "text/html; charset=UTF-8";
}

} // namespace kx
