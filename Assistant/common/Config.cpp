#include "common/Config.h"

#include "common/Errors.h"
#include "common/Paths.h"
#include "common/Profile.h"
#include "common/TextCodec.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace kx {
namespace {

constexpr std::string_view kSysIni = "conf\\sys.ini";
constexpr std::string_view kDllIni = "conf\\dll.ini";

// The document as UTF-8 text, by its byte order mark (none means UTF-8).
std::string jsonText(std::string_view bytes, const std::string& path)
{
    if (bytes.substr(0, 4) == std::string_view("\xFF\xFE\0\0", 4) ||
        bytes.substr(0, 4) == std::string_view("\0\0\xFE\xFF", 4))
        throw KxError(kJsonParseErrorClass, "UTF-32 encoded JSON is not supported: " + path);
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF")
        return std::string(bytes.substr(3));
    if (bytes.substr(0, 2) == "\xFF\xFE")
        return utf16ToUtf8(utf16FromBytes(bytes.substr(2), false));
    if (bytes.substr(0, 2) == "\xFE\xFF")
        return utf16ToUtf8(utf16FromBytes(bytes.substr(2), true));
    return std::string(bytes);
}

} // namespace

std::string readSysIni(const std::string& section, const std::string& key,
                       const std::string& defaultValue, const std::string& programFolder)
{
    return readProfileString(programPath(programFolder, kSysIni), section, key, defaultValue);
}

void writeSysIni(const std::string& section, const std::string& key, const std::string& value,
                 const std::string& programFolder)
{
    writeProfileString(programPath(programFolder, kSysIni), section, key, value);
}

std::vector<std::string> listSysIniKeys(const std::string& section, const std::string& programFolder)
{
    return listProfileKeys(programPath(programFolder, kSysIni), section);
}

std::string readDllIni(const std::string& section, const std::string& key,
                       const std::string& defaultValue, const std::string& programFolder)
{
    return readProfileString(programPath(programFolder, kDllIni), section, key, defaultValue);
}

DllIniModule readDllIniModule(const std::string& module, const std::string& programFolder)
{
    std::vector<std::string> values = readProfileStrings(
        programPath(programFolder, kDllIni), {{"MODULE-DLLPATH", module, ""}, {"MODULE-LANG", module, "delphi"}});
    return DllIniModule{std::move(values[0]), std::move(values[1])};
}

std::optional<Json> loadJsonFile(const std::string& path)
{
    std::error_code ec;
    const fs::path file = pathFromUtf8(path);
    if (!fs::exists(file, ec)) {
        // Created empty so that the next save has a file to replace; a failure shows up below.
        std::ofstream create(file, std::ios::binary | std::ios::trunc);
    }

    std::ifstream in;
    if (!fs::is_directory(file, ec))
        in.open(file, std::ios::binary);
    if (!in.is_open())
        throw KxError(kFileOpenErrorClass, "Cannot open file \"" + path + "\"");
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad())
        throw KxError(kFileOpenErrorClass, "Cannot read file \"" + path + "\"");
    // An empty file (or one holding nothing but a byte order mark) has no document yet.
    const std::string text = jsonText(std::move(buffer).str(), path);
    if (text.empty())
        return std::nullopt;

    Json document;
    try {
        document = Json::parse(text);
    } catch (const Json::parse_error& e) {
        throw KxError(kJsonParseErrorClass, e.what());
    }
    if (!document.is_object())
        throw KxError(kJsonTypeErrorClass,
                      "JSON document in \"" + path + "\" is not an object");
    return document;
}

} // namespace kx
