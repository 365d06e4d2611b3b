#include "common/Profile.h"

#include "base/IniLine.h"
#include "base/Text.h"
#include "common/Errors.h"
#include "common/FileCache.h"
#include "common/Paths.h"
#include "common/TextCodec.h"
#include "platform/Files.h"
#include "platform/SystemCodePage.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>

namespace fs = std::filesystem;

namespace kx {
namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeMark = "\xFF\xFE";
constexpr std::string_view kUtf16BeMark = "\xFE\xFF";

// Files without a byte order mark are in the system code page; a mark names the encoding.
enum class Encoding { SystemCodePage, Utf8, Utf16Le, Utf16Be };

// One line of a profile file as stored: its bytes without the line end, the line end's bytes
// ("\r\n", "\n", "\r" or nothing on a last line without one) in the file's encoding, and the
// line's text as UTF-8 (without the line end). Lines that are not rewritten go back byte for byte.
struct Line {
    std::string body;
    std::string ending;
    std::string text;
};

struct Document {
    Encoding encoding = Encoding::SystemCodePage;
    std::string mark;  // byte order mark kept on write
    std::vector<Line> lines;
    std::string tail;  // a stray odd byte at the end of a UTF-16 file, kept at the very end
};

std::size_t unitSize(const Document& doc)
{
    return doc.encoding == Encoding::Utf16Le || doc.encoding == Encoding::Utf16Be ? 2 : 1;
}

std::string encode(const Document& doc, std::string_view text)
{
    switch (doc.encoding) {
    case Encoding::Utf16Le: return utf16ToBytes(utf8ToUtf16(text), false);
    case Encoding::Utf16Be: return utf16ToBytes(utf8ToUtf16(text), true);
    case Encoding::SystemCodePage: return platform::toSystemCodePage(text);
    case Encoding::Utf8: break;
    }
    return std::string(text);
}

std::string decode(Encoding encoding, std::string_view bytes)
{
    switch (encoding) {
    case Encoding::Utf16Le: return utf16ToUtf8(utf16FromBytes(bytes, false));
    case Encoding::Utf16Be: return utf16ToUtf8(utf16FromBytes(bytes, true));
    case Encoding::SystemCodePage: return platform::fromSystemCodePage(bytes);
    case Encoding::Utf8: break;
    }
    return std::string(bytes);
}

// Lines end at CR LF, at LF and at a lone CR.
Document parseDocument(std::string_view bytes)
{
    Document doc;
    if (bytes.substr(0, 2) == kUtf16LeMark) {
        doc.encoding = Encoding::Utf16Le;
        doc.mark = kUtf16LeMark;
    } else if (bytes.substr(0, 2) == kUtf16BeMark) {
        doc.encoding = Encoding::Utf16Be;
        doc.mark = kUtf16BeMark;
    } else if (bytes.substr(0, 3) == kUtf8Mark) {
        doc.encoding = Encoding::Utf8;
        doc.mark = kUtf8Mark;
    }
    bytes.remove_prefix(doc.mark.size());

    const std::size_t unit = unitSize(doc);
    if (bytes.size() % unit != 0) {
        // Not a character: kept after every line, so lines added later stay on character bounds.
        doc.tail = bytes.substr(bytes.size() - 1);
        bytes.remove_suffix(1);
    }
    auto unitAt = [&](std::size_t i) -> unsigned {
        const auto a = static_cast<unsigned char>(bytes[i]);
        switch (doc.encoding) {
        case Encoding::Utf16Le: return a | static_cast<unsigned char>(bytes[i + 1]) << 8;
        case Encoding::Utf16Be: return a << 8 | static_cast<unsigned char>(bytes[i + 1]);
        case Encoding::SystemCodePage:
        case Encoding::Utf8: break;
        }
        return a;
    };
    auto addLine = [&](std::size_t start, std::size_t bodyEnd, std::size_t end) {
        Line line;
        line.body = bytes.substr(start, bodyEnd - start);
        line.ending = bytes.substr(bodyEnd, end - bodyEnd);
        line.text = decode(doc.encoding, line.body);
        doc.lines.push_back(std::move(line));
    };

    std::size_t start = 0;
    for (std::size_t i = 0; i < bytes.size(); i += unit) {
        const unsigned c = unitAt(i);
        if (c != '\n' && c != '\r')
            continue;
        std::size_t end = i + unit;
        if (c == '\r' && end < bytes.size() && unitAt(end) == '\n')
            end += unit;
        addLine(start, i, end);
        start = end;
        i = end - unit;
    }
    if (start < bytes.size())
        addLine(start, bytes.size(), bytes.size());
    return doc;
}

std::string serialize(const Document& doc)
{
    std::string out = doc.mark;
    for (const Line& line : doc.lines) {
        out += line.body;
        out += line.ending;
    }
    out += doc.tail;
    return out;
}

// Line end for new lines: the file's first line end, CR LF when it has none.
std::string newLineEnding(const Document& doc)
{
    for (const Line& line : doc.lines)
        if (!line.ending.empty())
            return line.ending;
    return encode(doc, "\r\n");
}

std::string_view trim(std::string_view s)
{
    return base::trimmed(s);
}

bool sameName(std::string_view a, std::string_view b)
{
    return base::equalsNoCase(a, b);
}

// What a line means: the shared INI line reader.
using Entry = base::IniLine;

Entry classify(std::string_view text)
{
    return base::readIniLine(text);
}

// Lines [first, last) of the first section with this name; nullopt when there is none.
struct Range {
    std::size_t header;
    std::size_t first;
    std::size_t last;
};

std::optional<Range> findSection(const Document& doc, std::string_view section)
{
    const std::size_t n = doc.lines.size();
    for (std::size_t i = 0; i < n; ++i) {
        const Entry e = classify(doc.lines[i].text);
        if (e.kind != Entry::Section || !sameName(e.name, section))
            continue;
        std::size_t end = i + 1;
        while (end < n && classify(doc.lines[end].text).kind != Entry::Section)
            ++end;
        return Range{i, i + 1, end};
    }
    return std::nullopt;
}

std::optional<std::size_t> findKey(const Document& doc, const Range& range, std::string_view key)
{
    for (std::size_t i = range.first; i < range.last; ++i) {
        const Entry e = classify(doc.lines[i].text);
        if (e.kind == Entry::Key && sameName(e.name, key))
            return i;
    }
    return std::nullopt;
}

std::optional<std::string> readBytes(const std::string& file)
{
    const std::shared_ptr<const std::string> bytes = cachedFileBytes(file);
    if (!bytes)
        return std::nullopt;
    return *bytes;
}

std::optional<Document> loadDocument(const std::string& file)
{
    const std::shared_ptr<const std::string> bytes = cachedFileBytes(file);
    if (!bytes)
        return std::nullopt;
    return parseDocument(*bytes);
}

std::string_view unquote(std::string_view v)
{
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

bool hasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// Why the file format cannot hold this section, key or value ("" when it can). Such names and
// values would read back as something else, or (a line break) smuggle further lines into the file.
std::string unwritableReason(std::string_view section, std::string_view sectionName, std::string_view key,
                             std::string_view keyName, std::string_view value)
{
    if (hasLineBreak(value))
        return "the value holds a line break, and a value must stay on one line";
    if (hasLineBreak(section))
        return "the section name holds a line break";
    if (sectionName.find(']') != std::string_view::npos)
        return "the section name holds \"]\"";
    if (hasLineBreak(key))
        return "the key name holds a line break";
    if (keyName.empty())
        return "the key name is empty";
    if (keyName.find('=') != std::string_view::npos)
        return "the key name holds \"=\"";
    if (keyName.front() == ';' || keyName.front() == '[')
        return "the key name begins with \"" + std::string(1, keyName.front()) + "\"";
    return "";
}

std::string lookUp(const Document& doc, const std::string& section, const std::string& key,
                   const std::string& defaultValue)
{
    const auto range = findSection(doc, trim(section));
    if (!range)
        return defaultValue;
    const auto line = findKey(doc, *range, trim(key));
    if (!line)
        return defaultValue;
    return utf8Prefix(unquote(classify(doc.lines[*line].text).value), kProfileValueLimit);
}

// Serialises writers in this process, so two threads writing different keys of one file do not
// lose each other's change between reading and replacing it.
std::mutex& writeMutex()
{
    static std::mutex m;
    return m;
}

std::string absoluteName(const std::string& file)
{
    std::error_code ec;
    const fs::path full = fs::absolute(pathFromUtf8(file), ec);
    return ec ? file : utf8FromPath(full);
}

[[noreturn]] void failWrite(const std::string& file)
{
    throw KxError(kProfileWriteErrorClass, "Unable to write to " + absoluteName(file));
}

} // namespace

std::vector<std::string> readProfileStrings(const std::string& file, const std::vector<ProfileQuery>& queries)
{
    const auto doc = loadDocument(file);
    std::vector<std::string> values;
    values.reserve(queries.size());
    for (const ProfileQuery& q : queries)
        values.push_back(doc ? lookUp(*doc, q.section, q.key, q.defaultValue) : q.defaultValue);
    return values;
}

std::string readProfileString(const std::string& file, const std::string& section,
                              const std::string& key, const std::string& defaultValue)
{
    const auto doc = loadDocument(file);
    return doc ? lookUp(*doc, section, key, defaultValue) : defaultValue;
}

std::vector<std::string> listProfileKeys(const std::string& file, const std::string& section)
{
    std::vector<std::string> keys;
    const auto doc = loadDocument(file);
    if (!doc)
        return keys;
    const auto range = findSection(*doc, trim(section));
    if (!range)
        return keys;
    for (std::size_t i = range->first; i < range->last; ++i) {
        const Entry e = classify(doc->lines[i].text);
        if (e.kind != Entry::Key)
            continue;
        bool seen = false;
        for (const std::string& k : keys)
            seen = seen || sameName(k, e.name);
        if (!seen)
            keys.emplace_back(e.name);
    }
    return keys;
}

void writeProfileString(const std::string& file, const std::string& section,
                        const std::string& key, const std::string& value)
{
    const std::string_view sectionName = trim(section);
    const std::string_view keyName = trim(key);
    if (const std::string why = unwritableReason(section, sectionName, key, keyName, value); !why.empty())
        throw KxError(kProfileWriteErrorClass, "Cannot write [" + std::string(sectionName) + "] " +
                                                   std::string(keyName) + " to " + absoluteName(file) +
                                                   ": " + why);

    std::lock_guard lock(writeMutex());
    std::error_code ec;
    const bool exists = fs::exists(pathFromUtf8(file), ec);
    Document doc;
    if (exists) {
        if (!platform::fileWritable(file))
            failWrite(file);
        auto bytes = readBytes(file);
        if (!bytes)
            failWrite(file);
        doc = parseDocument(*bytes);
    }
    const std::string eol = newLineEnding(doc);

    auto makeLine = [&](std::string_view text) {
        return Line{encode(doc, text), eol, std::string(text)};
    };
    // A line that gets a successor needs a line end of its own.
    auto terminate = [&](std::size_t index) {
        if (doc.lines[index].ending.empty())
            doc.lines[index].ending = eol;
    };

    const auto range = findSection(doc, sectionName);
    if (!range) {
        if (!doc.lines.empty())
            terminate(doc.lines.size() - 1);
        doc.lines.push_back(makeLine("[" + std::string(sectionName) + "]"));
        doc.lines.push_back(makeLine(std::string(keyName) + "=" + value));
    } else if (const auto found = findKey(doc, *range, keyName)) {
        Line& line = doc.lines[*found];
        line.text = std::string(classify(line.text).name) + "=" + value;
        line.body = encode(doc, line.text);
    } else {
        std::size_t after = range->header;
        for (std::size_t i = range->first; i < range->last; ++i)
            if (!trim(doc.lines[i].text).empty())
                after = i;
        terminate(after);
        doc.lines.insert(doc.lines.begin() + static_cast<std::ptrdiff_t>(after + 1),
                         makeLine(std::string(keyName) + "=" + value));
    }

    const bool written = platform::replaceFileAtomically(file, serialize(doc));
    forgetCachedFile(file);
    if (!written)
        failWrite(file);
}

} // namespace kx
