#include "bridge/BusinessEndpoint.h"

#include "bridge/Base64Text.h"
#include "bridge/CompactJson.h"
#include "bridge/ModuleInvoker.h"
#include "bridge/ScriptReply.h"
#include "common/Errors.h"
#include "common/StartupValues.h"

namespace kx {

namespace {

constexpr const char* kHtmlUtf8 = "text/html; charset=UTF-8";

ModuleResult invokeWith(InvokerKind invoker, const std::string& folder, const std::string& document,
                        const std::string& module, const std::string& function)
{
    return invoker == InvokerKind::Module ? invokeModuleResult(folder, document, module, function)
                                          : invokeCModuleResult(folder, document, module, function);
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

bool readAgencyFlag(const std::string& requestDocument)
{
    if (isBlankText(requestDocument))
        return false;
    auto doc = parseStrictJson(requestDocument);
    if (!doc)
        throw KxError("EJsonParserException", "The request document is not JSON");
    if (!doc->is_object())
        throw KxError("EJsonCastException", "The request document is not a JSON object");
    auto config = doc->find("config");
    if (config == doc->end() || config->is_null())
        return false;
    if (!config->is_object())
        throw KxError("EJsonCastException", "The request's config is not a JSON object");
    auto flag = config->find("agency3intfc");
    if (flag == config->end())
        return false;
    if (flag->is_null() || flag->is_array() || flag->is_object())
        throw KxError("EJsonCastException", "agency3intfc is not a boolean");
    if (flag->is_boolean())
        return flag->get<bool>();
    if (flag->is_number())
        return flag->get<double>() != 0.0;
    return flag->is_string() && flag->get<std::string>() == "true";
}

void serveScriptEndpoint(const http::HttpRequest& request, http::HttpResponse& response,
                         const std::string& module, InvokerKind invoker)
{
    const std::string id = request.param("id");
    const std::string function = request.param("func");
    const std::string& folder = startupValues().programFolder;
    const std::string document = decodeBase64Text(request.param("payload"));
    const std::string prefix = readProgramScriptPrefix(folder);
    const ModuleResult result = invokeWith(invoker, folder, document, module, function);
    answer(response, false, id, prefix, result);
}

void serveCaEndpoint(const http::HttpRequest& request, http::HttpResponse& response)
{
    const std::string id = request.param("id");
    const std::string function = request.param("func");
    const std::string& folder = startupValues().programFolder;
    std::string document = decodeBase64Text(request.param("payload"));
    if (!request.param("isDoubleBase").empty())
        document = decodeBase64Text(document);
    const bool agency = readAgencyFlag(document);
    const std::string prefix = readProgramScriptPrefix(folder);
    const ModuleResult result = invokeModuleResult(folder, document, "ca", function);
    answer(response, agency, id, prefix, result);
}

void serveSmartCardEndpoint(const http::HttpRequest& request, http::HttpResponse& response)
{
    const std::string id = request.param("id");
    const std::string function = request.param("func");
    const std::string& folder = startupValues().programFolder;
    const std::string document = decodeBase64Text(request.param("payload"));
    const std::string prefix = readProgramScriptPrefix(folder);
    const bool agency = readAgencyFlag(document);
    const ModuleResult result = invokeCModuleResult(folder, document, "smart-card", function);
    answer(response, agency, id, prefix, result);
}

} // namespace kx
