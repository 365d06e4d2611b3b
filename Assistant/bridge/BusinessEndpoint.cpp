#include "bridge/BusinessEndpoint.h"

#include "bridge/Base64Text.h"
#include "bridge/CompactJson.h"
#include "bridge/ModuleInvoker.h"
#include "bridge/ScriptReply.h"
#include "common/StartupValues.h"

namespace kx {

namespace {

constexpr const char* kHtmlUtf8 = "text/html; charset=UTF-8";

ModuleResult invokeWith(InvokerKind invoker, const std::string& folder, const RequestDocument& document,
                        const std::string& module, const std::string& function)
{
    return invoker == InvokerKind::Module ? invokeModuleResult(folder, document, module, function)
                                          : invokeCModuleResult(folder, document, module, function);
}

DataForm dataFormOf(InvokerKind invoker)
{
    return invoker == InvokerKind::Module ? DataForm::Strict : DataForm::Lenient;
}

// The raw reply when the agency flag is set, else the script reply.
void answer(http::HttpResponse& response, bool raw, const std::string& id, const std::string& prefix,
            const ModuleResult& result)
{
    if (raw)
        setRawReply(response, result);
    else
        setScriptReply(response, id, prefix, result);
    response.contentType = kHtmlUtf8;
}

} // namespace

void serveScriptEndpoint(const http::HttpRequest& request, http::HttpResponse& response,
                         const std::string& module, InvokerKind invoker)
{
    const std::string id = request.param("id");
    const std::string function = request.param("func");
    const std::string& folder = startupValues().programFolder;
    const RequestDocument document(decodeBase64Text(request.paramView("payload")), folder, dataFormOf(invoker));
    const std::string prefix = readProgramScriptPrefix(folder);
    const ModuleResult result = invokeWith(invoker, folder, document, module, function);
    answer(response, false, id, prefix, result);
}

void serveCaEndpoint(const http::HttpRequest& request, http::HttpResponse& response)
{
    const std::string id = request.param("id");
    const std::string function = request.param("func");
    const std::string& folder = startupValues().programFolder;
    std::string text = decodeBase64Text(request.paramView("payload"));
    if (!request.param("isDoubleBase").empty())
        text = decodeBase64Text(text);
    const RequestDocument document(text, folder, DataForm::Strict);
    const bool agency = document.agencyFlag();
    const std::string prefix = readProgramScriptPrefix(folder);
    const ModuleResult result = invokeModuleResult(folder, document, "ca", function);
    answer(response, agency, id, prefix, result);
}

void serveSmartCardEndpoint(const http::HttpRequest& request, http::HttpResponse& response)
{
    const std::string id = request.param("id");
    const std::string function = request.param("func");
    const std::string& folder = startupValues().programFolder;
    const RequestDocument document(decodeBase64Text(request.paramView("payload")), folder, DataForm::Lenient);
    const std::string prefix = readProgramScriptPrefix(folder);
    const bool agency = document.agencyFlag();
    const ModuleResult result = invokeCModuleResult(folder, document, "smart-card", function);
    answer(response, agency, id, prefix, result);
}

} // namespace kx
