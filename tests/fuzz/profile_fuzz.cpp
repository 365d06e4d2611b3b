// Profile files: any file content, then a write of section, key and value from the input.
// Properties: a write either raises KxError and leaves the file as it was, or the key reads back
// as the reading rules see the value (blanks trimmed, one pair of quotes removed, cut at 2047
// characters) and every other key of the sections involved reads as before.
#include "FuzzInput.h"

#include "common/Errors.h"
#include "common/Profile.h"
#include "common/TextCodec.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

using namespace kx;
namespace fs = std::filesystem;

namespace {

const std::string& scratchFile()
{
    static const std::string file = [] {
        // A memory file system where there is one: every write replaces the file durably.
        const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        const fs::path folder = base / ("kx-profile-fuzz-" + std::to_string(::getpid()));
        fs::create_directories(folder);
        static fs::path removeAtExit;
        removeAtExit = folder;
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(removeAtExit, ec);
        });
        return (folder / "f.ini").string();
    }();
    return file;
}

std::string readAll(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string_view trimBlanks(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

std::string asRead(std::string_view value)
{
    value = trimBlanks(value);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return utf8Prefix(value, kProfileValueLimit);
}

using Snapshot = std::map<std::pair<std::string, std::string>, std::string>;

Snapshot snapshot(const std::string& file, const std::vector<std::string>& sections)
{
    Snapshot values;
    for (const std::string& section : sections)
        for (const std::string& key : listProfileKeys(file, section))
            values[{section, key}] = readProfileString(file, section, key, "\x02missing");
    return values;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto parts = fuzz::splitInput(data, size, 4);
    const std::string& file = scratchFile();
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << parts[0];
    }
    // Texts inside the program are valid UTF-8.
    const std::string section = utf16ToUtf8(utf8ToUtf16(parts[1]));
    const std::string key = utf16ToUtf8(utf8ToUtf16(parts[2]));
    const std::string value = utf16ToUtf8(utf8ToUtf16(parts[3]));

    const std::vector<std::string> sections = {section, "A", "HTTP"};
    const Snapshot before = snapshot(file, sections);
    try {
        writeProfileString(file, section, key, value);
    } catch (const KxError&) {
        KX_FUZZ_CHECK(readAll(file) == parts[0]);
        return 0;
    }
    KX_FUZZ_CHECK(readProfileString(file, section, key, "\x02missing") == asRead(value));
    const Snapshot after = snapshot(file, sections);
    for (const auto& [where, old] : before) {
        if (fuzz::sameNoCase(trimBlanks(where.first), trimBlanks(section)) && fuzz::sameNoCase(where.second, trimBlanks(key)))
            continue;
        const auto now = after.find(where);
        KX_FUZZ_CHECK(now != after.end() && now->second == old);
    }
    return 0;
}
