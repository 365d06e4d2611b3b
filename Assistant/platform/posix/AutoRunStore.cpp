#include "platform/AutoRunStore.h"

#include "base/IniLine.h"
#include "base/Text.h"
#include "platform/Files.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

namespace kx::platform {
namespace fs = std::filesystem;
namespace {

constexpr const char* kDefaultPath = "/var/lib/kestrix-assistant/KestrixAssistant.reg";
constexpr const char* kHeader = "Windows Registry Editor Version 5.00";
constexpr const char* kKeyName = "HKEY_CLASSES_ROOT\\KestrixAssistant";
constexpr const char* kKeyLine = "[HKEY_CLASSES_ROOT\\KestrixAssistant]";

std::mutex g_mutex;
std::string g_path = kDefaultPath;

struct Line {
    std::string text;
    std::string name; // set for value lines
};

std::string trim(std::string_view s)
{
    return std::string(base::trimmed(s, " \t\r"));
}

// A value line of the key's block, read by the shared INI line reader: `"name"=data` gives the
// name with its escapes undone and the data; false for any other line.
bool splitValueLine(const std::string& line, std::string& name, std::string& data)
{
    const base::IniLine e = base::readIniLine(line);
    if (e.kind != base::IniLine::Key || e.name.size() < 2 || e.name.front() != '"' || e.name.back() != '"')
        return false;
    std::string n;
    for (std::size_t i = 1; i + 1 < e.name.size(); ++i) {
        if (e.name[i] == '\\' && i + 2 < e.name.size())
            ++i;
        n += e.name[i];
    }
    name = std::move(n);
    data = std::string(e.value);
    return true;
}

// True for a section header line; inKey then says whether it opens the store's key.
bool isSectionLine(const std::string& line, bool& inKey)
{
    const base::IniLine e = base::readIniLine(line);
    if (e.kind != base::IniLine::Section)
        return false;
    inKey = base::equalsNoCase(e.name, kKeyName);
    return true;
}

StoredValue parseData(const std::string& data)
{
    StoredValue v;
    if (data.rfind("dword:", 0) == 0) {
        const std::string hex = data.substr(6);
        if (hex.size() == 8 && hex.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos) {
            v.type = StoredType::Dword;
            v.dword = static_cast<std::uint32_t>(std::stoul(hex, nullptr, 16));
        }
        return v;
    }
    if (data.size() >= 2 && data.front() == '"' && data.back() == '"') {
        v.type = StoredType::String;
        for (std::size_t i = 1; i + 1 < data.size(); ++i) {
            if (data[i] == '\\' && i + 2 < data.size())
                ++i;
            v.text += data[i];
        }
    }
    return v;
}

std::string currentPath()
{
    std::lock_guard lock(g_mutex);
    return g_path;
}

} // namespace

std::string autoRunStorePath()
{
    return currentPath();
}

void setAutoRunStorePath(const std::string& path)
{
    std::lock_guard lock(g_mutex);
    g_path = path.empty() ? kDefaultPath : path;
}

std::optional<StoredValue> readStoredValue(const std::string& name)
{
    std::ifstream in(currentPath(), std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string line;
    bool inKey = false;
    while (std::getline(in, line)) {
        line = trim(line);
        if (isSectionLine(line, inKey))
            continue;
        std::string n, data;
        if (inKey && splitValueLine(line, n, data) && base::equalsNoCase(n, name))
            return parseData(data);
    }
    return std::nullopt;
}

bool writeStoredDword(const std::string& name, std::uint32_t value)
{
    try {
        const fs::path path = currentPath();
        std::vector<std::string> lines;
        {
            std::ifstream in(path, std::ios::binary);
            std::string line;
            while (in && std::getline(in, line)) {
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                lines.push_back(line);
            }
        }
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(value));
        const std::string newLine = "\"" + name + "\"=dword:" + buf;

        // Replace the value in the key's block, or add it at the end of the block (adding the
        // block, and the header of a new file, when missing).
        if (lines.empty())
            lines = {kHeader, ""};
        std::size_t keyAt = lines.size();
        for (std::size_t i = 0; i < lines.size(); ++i) {
            bool isKey = false;
            if (isSectionLine(trim(lines[i]), isKey) && isKey) {
                keyAt = i;
                break;
            }
        }
        if (keyAt == lines.size()) {
            if (!lines.back().empty())
                lines.push_back("");
            lines.push_back(kKeyLine);
            lines.push_back(newLine);
        } else {
            std::size_t end = keyAt + 1;
            bool replaced = false;
            for (; end < lines.size(); ++end) {
                const std::string t = trim(lines[end]);
                bool isKey = false;
                if (isSectionLine(t, isKey))
                    break;
                std::string n, data;
                if (splitValueLine(t, n, data) && base::equalsNoCase(n, name)) {
                    lines[end] = newLine;
                    replaced = true;
                    break;
                }
            }
            if (!replaced) {
                std::size_t at = end;
                while (at > keyAt + 1 && trim(lines[at - 1]).empty())
                    --at;
                lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), newLine);
            }
        }

        std::error_code ec;
        if (path.has_parent_path())
            fs::create_directories(path.parent_path(), ec);
        std::string bytes;
        for (const std::string& l : lines) {
            bytes += l;
            bytes += '\n';
        }
        return replaceFileAtomically(path.string(), bytes);
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace kx::platform
