#include "bridge/ModuleTexts.h"

#include "bridge/CompactJson.h"
#include "bridge/LenientJson.h"
#include "common/Errors.h"

namespace kx {

namespace {

DerivedText malformed() { return {DerivedText::Outcome::Malformed, {}}; }
DerivedText absent() { return {DerivedText::Outcome::Absent, {}}; }
DerivedText text(std::string t) { return {DerivedText::Outcome::Text, std::move(t)}; }

// The request document as the strict reader sees it.
struct StrictDocument {
    enum class State { Blank, NotJson, NotObject, Object };
    State state = State::Blank;
    Json json;
};

StrictDocument readStrict(const std::string& request)
{
    if (isBlankText(request))
        return {};
    auto doc = parseStrictJson(request);
    if (!doc)
        return {StrictDocument::State::NotJson, {}};
    if (!doc->is_object())
        return {StrictDocument::State::NotObject, {}};
    return {StrictDocument::State::Object, std::move(*doc)};
}

// Absent for a blank document, malformed for one that is not a JSON object.
DerivedText unreadable(const StrictDocument& doc)
{
    return doc.state == StrictDocument::State::Blank ? absent() : malformed();
}

DerivedText configOf(const StrictDocument& doc, const std::string& programFolder)
{
    if (doc.state != StrictDocument::State::Object)
        return unreadable(doc);
    auto config = doc.json.find("config");
    if (config == doc.json.end() || config->is_null() || (config->is_object() && config->empty()))
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

DerivedText dataOf(const StrictDocument& doc)
{
    if (doc.state != StrictDocument::State::Object)
        return unreadable(doc);
    auto data = doc.json.find("data");
    if (data == doc.json.end())
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

struct AgencyOutcome {
    bool flag = false;
    const char* errorClass = nullptr; // set when reading the flag raises
    const char* message = nullptr;
};

AgencyOutcome agencyOf(const StrictDocument& doc)
{
    switch (doc.state) {
    case StrictDocument::State::Blank:
        return {};
    case StrictDocument::State::NotJson:
        return {false, "EJsonParserException", "The request document is not JSON"};
    case StrictDocument::State::NotObject:
        return {false, "EJsonCastException", "The request document is not a JSON object"};
    case StrictDocument::State::Object:
        break;
    }
    auto config = doc.json.find("config");
    if (config == doc.json.end() || config->is_null())
        return {};
    if (!config->is_object())
        return {false, "EJsonCastException", "The request's config is not a JSON object"};
    auto flag = config->find("agency3intfc");
    if (flag == config->end())
        return {};
    if (flag->is_null() || flag->is_array() || flag->is_object())
        return {false, "EJsonCastException", "agency3intfc is not a boolean"};
    if (flag->is_boolean())
        return {flag->get<bool>()};
    if (flag->is_number())
        return {flag->get<double>() != 0.0};
    return {flag->is_string() && flag->get<std::string>() == "true"};
}

} // namespace

RequestDocument::RequestDocument(const std::string& document, const std::string& programFolder, DataForm form)
{
    const StrictDocument doc = readStrict(document);
    config_ = configOf(doc, programFolder);
    data_ = form == DataForm::Strict ? dataOf(doc) : extractModuleDataLenient(document);
    const AgencyOutcome agency = agencyOf(doc);
    agency_ = agency.flag;
    if (agency.errorClass) {
        agencyErrorClass_ = agency.errorClass;
        agencyError_ = agency.message;
    }
}

bool RequestDocument::agencyFlag() const
{
    if (!agencyErrorClass_.empty())
        throw KxError(agencyErrorClass_, agencyError_);
    return agency_;
}

DerivedText buildModuleConfig(const std::string& request, const std::string& programFolder)
{
    return configOf(readStrict(request), programFolder);
}

DerivedText extractModuleData(const std::string& request)
{
    return dataOf(readStrict(request));
}

bool readAgencyFlag(const std::string& requestDocument)
{
    const AgencyOutcome agency = agencyOf(readStrict(requestDocument));
    if (agency.errorClass)
        throw KxError(agency.errorClass, agency.message);
    return agency.flag;
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
