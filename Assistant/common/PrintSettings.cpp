#include "common/PrintSettings.h"

#include "base/Text.h"
#include "common/Errors.h"
#include "common/Paths.h"
#include "platform/Files.h"

#include <array>

namespace kx {
namespace {

constexpr const char* kApplicationFile = "data\\json\\application.json";
constexpr const char* kBillFile = "data\\json\\bill.json";
constexpr const char* kPrintFile = "data\\json\\print.json";

// Every character up to the space counts as blank (controls included).
bool isBlankChar(char c)
{
    return static_cast<unsigned char>(c) <= 0x20;
}

Json loadObject(const std::string& path)
{
    std::optional<Json> loaded = loadJsonFile(path);
    return loaded ? std::move(*loaded) : Json::object();
}

bool usesTopLevelSection(const std::string& code)
{
    return isBlank(code) || code == kDefaultBillCode;
}

const Json* memberObject(const Json& parent, const std::string& name)
{
    auto it = parent.find(name);
    if (it == parent.end() || !it->is_object())
        return nullptr;
    return &*it;
}

// The member as an object, created when missing. A member of another kind is not overwritten.
Json& objectMember(Json& parent, const std::string& name)
{
    auto it = parent.find(name);
    if (it == parent.end()) {
        parent[name] = Json::object();
        return parent[name];
    }
    if (!it->is_object())
        throw KxError("EJsonCastException", "Member \"" + name + "\" of print.json is not an object");
    return *it;
}

} // namespace

bool isBlank(std::string_view text)
{
    for (char c : text)
        if (!isBlankChar(c))
            return false;
    return true;
}

std::string trimBlanks(std::string_view text)
{
    static constexpr auto blanks = [] {
        std::array<char, 0x21> all{};
        for (std::size_t c = 0; c < all.size(); ++c)
            all[c] = static_cast<char>(c);
        return all;
    }();
    return std::string(base::trimmed(text, std::string_view(blanks.data(), blanks.size())));
}

std::string readAppId(const std::string& programFolder)
{
    const std::optional<Json> app = loadJsonFile(programPath(programFolder, kApplicationFile));
    return readJsonString(app ? &*app : nullptr, "AppId");
}

std::string readJsonString(const Json* object, const std::string& name)
{
    if (!object || !object->is_object())
        return {};
    auto it = object->find(name);
    if (it == object->end() || it->is_null())
        return {};
    if (it->is_string())
        return it->get<std::string>();
    return it->dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::vector<BillCode> loadBillCodes(const std::string& programFolder, const std::string& appId)
{
    const Json bills = loadObject(programPath(programFolder, kBillFile));
    std::vector<BillCode> codes{{kDefaultBillCode, kDefaultBillCode}};
    if (const Json* app = memberObject(bills, appId)) {
        for (auto it = app->begin(); it != app->end(); ++it) {
            if (it.key() == kDefaultBillCode)
                continue;
            std::string module = readJsonString(app, it.key());
            codes.push_back({it.key(), module.empty() ? it.key() : std::move(module)});
        }
    }
    return codes;
}

PrintSection shownPrintSection(const PrintSection& stored)
{
    const auto orDefault = [](const std::string& text, const char* fallback) {
        return isBlank(text) ? std::string(fallback) : text;
    };
    PrintSection shown;
    shown.printer = orDefault(stored.printer, "");
    shown.paper = orDefault(stored.paper, kCustomPaperText);
    shown.direction = orDefault(stored.direction, "纵向");
    shown.marginUp = orDefault(stored.marginUp, "0");
    shown.marginDown = orDefault(stored.marginDown, "0");
    shown.marginLeft = orDefault(stored.marginLeft, "0");
    shown.marginRight = orDefault(stored.marginRight, "0");
    shown.offsetX = orDefault(stored.offsetX, "0");
    shown.offsetY = orDefault(stored.offsetY, "0");
    return shown;
}

std::string storedPaper(std::string_view paperText)
{
    std::string paper = trimBlanks(paperText);
    return paper == kCustomPaperText ? std::string() : paper;
}

PrintSection loadPrintSection(const std::string& programFolder, const std::string& appId,
                              const std::string& code)
{
    const Json print = loadObject(programPath(programFolder, kPrintFile));
    const Json* section = nullptr;
    if (usesTopLevelSection(code)) {
        section = memberObject(print, std::string(kDefaultBillCode) + "_PRINTER");
    } else if (const Json* app = memberObject(print, appId)) {
        section = memberObject(*app, code + "_PRINTER");
    }
    PrintSection s;
    s.printer = readJsonString(section, "Printer");
    s.paper = readJsonString(section, "Paper");
    s.direction = readJsonString(section, "Direction");
    s.marginUp = readJsonString(section, "MarginUp");
    s.marginDown = readJsonString(section, "MarginDown");
    s.marginLeft = readJsonString(section, "MarginLeft");
    s.marginRight = readJsonString(section, "MarginRight");
    s.offsetX = readJsonString(section, "OffsetX");
    s.offsetY = readJsonString(section, "OffsetY");
    return s;
}

void savePrintSection(const std::string& programFolder, const std::string& appId,
                      const std::string& code, const PrintSection& s)
{
    const std::string path = programPath(programFolder, kPrintFile);
    Json print = loadObject(path);
    Json& section = usesTopLevelSection(code)
                        ? objectMember(print, std::string(kDefaultBillCode) + "_PRINTER")
                        : objectMember(objectMember(print, appId), code + "_PRINTER");
    section["OffsetX"] = trimBlanks(s.offsetX);
    section["OffsetY"] = trimBlanks(s.offsetY);
    section["MarginUp"] = trimBlanks(s.marginUp);
    section["MarginDown"] = trimBlanks(s.marginDown);
    section["MarginLeft"] = trimBlanks(s.marginLeft);
    section["MarginRight"] = trimBlanks(s.marginRight);
    section["Printer"] = trimBlanks(s.printer);
    section["Paper"] = trimBlanks(s.paper);
    section["Direction"] = trimBlanks(s.direction);
    // Compact, non-ASCII written as is; invalid UTF-8 from elsewhere in the file is replaced
    // rather than failing the whole save.
    if (!platform::replaceFileAtomically(path, print.dump(-1, ' ', false, Json::error_handler_t::replace)))
        throw KxError("EFCreateError", "Cannot create file \"" + path + "\"");
}

} // namespace kx
