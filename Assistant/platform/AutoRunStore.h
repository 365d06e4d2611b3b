#pragma once
// The machine-wide store of typed named values that stands in for the registry key
// KestrixAssistant below HKEY_CLASSES_ROOT. The store is a small text file in the .reg form:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CLASSES_ROOT\KestrixAssistant]
//   "AutoRun"=dword:00000001
//
// Values of other types ("name"="text", "name"=hex:..) are kept as they are and reported with
// their type. On Windows the store is the registry key itself, and its path is the key's full
// name with the root spelt out or abbreviated ("HKEY_CLASSES_ROOT\KestrixAssistant", in tests
// e.g. "HKCU\Software\..."); it is opened for full access and created when missing.
#include <cstdint>
#include <optional>
#include <string>

namespace kx::platform {

enum class StoredType { Dword, String, Other };

struct StoredValue {
    StoredType type = StoredType::Other;
    std::uint32_t dword = 0; // Dword only
    std::string text;        // String only
};

// Default location: /var/lib/kestrix-assistant/KestrixAssistant.reg (Windows: the key above).
std::string autoRunStorePath();
// Points the store at another file (tests); an empty path restores the default.
void setAutoRunStorePath(const std::string& path);

// The named value, or nullopt when the store or the value is missing or cannot be read.
std::optional<StoredValue> readStoredValue(const std::string& name);
// Sets the named value as a 32-bit number, creating the store (and its folder) when missing and
// keeping every other value. The file is replaced atomically. False on any failure.
bool writeStoredDword(const std::string& name, std::uint32_t value);

} // namespace kx::platform
