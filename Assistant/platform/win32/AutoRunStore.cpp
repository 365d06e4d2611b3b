#include "platform/AutoRunStore.h"

#include "base/Text.h"
#include "platform/win32/WideText.h"

#include <windows.h>

#include <cstring>
#include <mutex>

namespace kx::platform {
namespace {

constexpr const char* kDefaultKey = "HKEY_CLASSES_ROOT\\KestrixAssistant";

std::mutex g_mutex;
std::string g_key = kDefaultKey;

struct KeyName {
    HKEY root = nullptr;
    std::wstring subKey;
};

// "ROOT\sub\key" with the root in its long or short form; no root when the text names none.
KeyName splitKeyName(const std::string& text)
{
    static const struct {
        const char* longName;
        const char* shortName;
        HKEY root;
    } roots[] = {
        {"HKEY_CLASSES_ROOT", "HKCR", HKEY_CLASSES_ROOT},
        {"HKEY_CURRENT_USER", "HKCU", HKEY_CURRENT_USER},
        {"HKEY_LOCAL_MACHINE", "HKLM", HKEY_LOCAL_MACHINE},
        {"HKEY_USERS", "HKU", HKEY_USERS},
    };
    const auto separator = text.find('\\');
    if (separator == std::string::npos || separator + 1 >= text.size())
        return {};
    const std::string_view rootName = std::string_view(text).substr(0, separator);
    for (const auto& r : roots) {
        if (base::equalsNoCase(rootName, r.longName) || base::equalsNoCase(rootName, r.shortName))
            return {r.root, win32::wideFromUtf8(std::string_view(text).substr(separator + 1))};
    }
    return {};
}

// The store's key opened for full access, created when missing; nullptr when that fails.
HKEY openStoreKey()
{
    std::string keyText;
    {
        std::lock_guard lock(g_mutex);
        keyText = g_key;
    }
    const KeyName name = splitKeyName(keyText);
    if (!name.root)
        return nullptr;
    HKEY key = nullptr;
    if (RegCreateKeyExW(name.root, name.subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

} // namespace

// On Windows the store is the registry key itself; its "path" is the key's full name.
std::string autoRunStorePath()
{
    std::lock_guard lock(g_mutex);
    return g_key;
}

void setAutoRunStorePath(const std::string& path)
{
    std::lock_guard lock(g_mutex);
    g_key = path.empty() ? kDefaultKey : path;
}

std::optional<StoredValue> readStoredValue(const std::string& name)
{
    HKEY key = openStoreKey();
    if (!key)
        return std::nullopt;
    const std::wstring valueName = win32::wideFromUtf8(name);
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS rc = RegQueryValueExW(key, valueName.c_str(), nullptr, &type, nullptr, &size);
    std::string data(size, '\0');
    if (rc == ERROR_SUCCESS && size > 0)
        rc = RegQueryValueExW(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return std::nullopt;
    data.resize(size);

    StoredValue v;
    if (type == REG_DWORD && size == sizeof(DWORD)) {
        DWORD dword = 0;
        std::memcpy(&dword, data.data(), sizeof dword);
        v.type = StoredType::Dword;
        v.dword = dword;
    } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::wstring text(size / sizeof(wchar_t), L'\0');
        std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
        while (!text.empty() && text.back() == L'\0') // the stored terminator
            text.pop_back();
        v.type = StoredType::String;
        v.text = win32::utf8FromWide(text);
    }
    return v;
}

bool writeStoredDword(const std::string& name, std::uint32_t value)
{
    HKEY key = openStoreKey();
    if (!key)
        return false;
    const DWORD dword = value;
    const LSTATUS rc = RegSetValueExW(key, win32::wideFromUtf8(name).c_str(), 0, REG_DWORD,
                                      reinterpret_cast<const BYTE*>(&dword), sizeof dword);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

} // namespace kx::platform
