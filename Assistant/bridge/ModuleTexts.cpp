#include "bridge/ModuleTexts.h"

#include "bridge/CompactJson.h"
#include "bridge/LenientJson.h"

namespace kx {

namespace {

DerivedText malformed() { return {DerivedText::Outcome::Malformed, {}}; }
DerivedText absent() { return {DerivedText::Outcome::Absent, {}}; }
DerivedText text(std::string t) { return {DerivedText::Outcome::Text, std::move(t)}; }

// The request parsed strictly: nullopt with `out` set when the document is absent or malformed.
std::optional<Json> parseRequest(const std::string& request, DerivedText& out)
{
    if (isBlankText(request)) {
        out = absent();
        return std::nullopt;
    }
    auto doc = parseStrictJson(request);
    if (!doc || !doc->is_object()) {
        out = malformed();
        return std::nullopt;
    }
    return doc;
}

} // namespace

DerivedText buildModuleConfig(const std::string& request, const std::string& programFolder)
{
    DerivedText early;
    auto doc = parseRequest(request, early);
    if (!doc)
        return early;
    auto config = doc->find("config");
    if (config == doc->end() || config->is_null() || (config->is_object() && config->empty()))
        return absent();
    if (!config->is_object())
        return malformed();
    auto appIdIt = config->find("appId");
    if (appIdIt == config->end())
        return absent();
    std::string appId;
    if (appIdIt->is_string())
        appId = appIdIt->get<std::string>();
    else if (appIdIt->is_number() || appIdIt->is_boolean())
        appId = compactJson(*appIdIt);
    else
        return malformed(); // null, array or object
    if (appId.empty())
        return absent();
    Json moduleConfig = Json::object();
    moduleConfig["appId"] = appId;
    moduleConfig["appFileDir"] = programFolder;
    return text(compactJson(moduleConfig));
}

DerivedText extractModuleData(const std::string& request)
{
    DerivedText early;
    auto doc = parseRequest(request, early);
    if (!doc)
        return early;
    auto data = doc->find("data");
    if (data == doc->end())
        return absent();
    if (!data->is_array())
        return malformed();
    if (data->empty())
        return absent();
    const Json& first = data->front();
    if (!first.is_object())
        return malformed();
    if (first.empty())
        return absent();
    return text(compactJson(first));
}

DerivedText extractModuleDataLenient(const std::string& request)
{
    if (request.empty())
        return malformed();
    auto doc = parseLenientJson(request);
    if (!doc || doc->kind != LenientValue::Kind::Object)
        return absent();
    const LenientValue* data = doc->member("data");
    if (!data || data->kind != LenientValue::Kind::Array || data->items.empty())
        return absent();
    const LenientValue& first = data->items.front();
    if (first.kind == LenientValue::Kind::String)
        return text(first.text);
    if (first.kind == LenientValue::Kind::Null)
        return malformed();
    return text(writeLenientJson(first));
}

} // namespace kx
