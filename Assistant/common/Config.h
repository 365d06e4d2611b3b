#pragma once
// Access to the configuration files under the program folder. Every call reads or writes its file
// (reads through the kept bytes of common/FileCache.h), so a change is seen by the next read.
#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace kx {

using Json = nlohmann::ordered_json;

// Error classes raised by loadJsonFile.
inline constexpr const char* kFileOpenErrorClass = "EFOpenError";
inline constexpr const char* kJsonParseErrorClass = "EJsonParseError";
inline constexpr const char* kJsonTypeErrorClass = "EJsonTypeError";

// conf/sys.ini
std::string readSysIni(const std::string& section, const std::string& key,
                       const std::string& defaultValue, const std::string& programFolder);
// Raises KxError "Unable to write to <file>" when the file cannot be written.
void writeSysIni(const std::string& section, const std::string& key, const std::string& value,
                 const std::string& programFolder);
// Keys of a section of conf/sys.ini in file order (empty when the file or section is missing).
std::vector<std::string> listSysIniKeys(const std::string& section, const std::string& programFolder);

// conf/dll.ini (never written by the program)
std::string readDllIni(const std::string& section, const std::string& key,
                       const std::string& defaultValue, const std::string& programFolder);
// A module's two entries in conf/dll.ini, from one reading of the file: its library's path
// ([MODULE-DLLPATH], "" when missing) and its calling form ([MODULE-LANG], "delphi" when missing).
struct DllIniModule {
    std::string path;
    std::string lang;
};
DllIniModule readDllIniModule(const std::string& module, const std::string& programFolder);

// Reads a JSON file whose top level must be an object. A missing file is created empty; an empty
// file (or one holding only a byte order mark) gives nullopt; blanks alone are malformed. Byte order marks (UTF-8, UTF-16LE/BE) are honoured, UTF-32 is refused.
// Raises KxError when the file cannot be opened, the text is malformed or the top level is not an
// object.
std::optional<Json> loadJsonFile(const std::string& path);

} // namespace kx
