#include "bridge/ModuleResult.h"

#include "bridge/JsonScan.h"
#include "common/TextCodec.h"

namespace kx {

namespace {

constexpr std::size_t kPieceBytes = 256 * 1024;

bool isHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Converts units starting at `pos` into `out` until it holds about `room` bytes; returns the new
// position. Unpaired surrogates become U+FFFD, as utf16ToUtf8 does.
std::size_t convertSome(std::u16string_view units, std::size_t pos, std::string& out, std::size_t room)
{
    while (pos < units.size() && out.size() + 4 <= room) {
        // A run of ASCII in one go.
        std::size_t run = pos;
        const std::size_t limit = std::min(units.size(), pos + (room - out.size()));
        run = std::min(jsonscan::asciiRunEnd(units.substr(0, limit), run), limit);
        if (run > pos) {
            const std::size_t at = out.size();
            out.resize(at + (run - pos));
            jsonscan::narrowAscii(units.data() + pos, run - pos, out.data() + at);
            pos = run;
            continue;
        }
        char32_t c = units[pos++];
        if (isHigh(static_cast<char16_t>(c)) && pos < units.size() && isLow(units[pos]))
            c = 0x10000 + ((c - 0xD800) << 10) + (units[pos++] - 0xDC00);
        else if (c >= 0xD800 && c <= 0xDFFF)
            c = 0xFFFD;
        appendUtf8(out, c);
    }
    return pos;
}

} // namespace

std::string ModuleResult::toUtf8() const&
{
    return buffered() ? utf16ToUtf8(units_) : text_;
}

std::string ModuleResult::toUtf8() &&
{
    return buffered() ? utf16ToUtf8(units_) : std::move(text_);
}

bool ModuleResult::blank() const
{
    if (buffered()) {
        for (char16_t c : units_)
            if (c > 0x20)
                return false;
        return true;
    }
    for (unsigned char c : text_)
        if (c > 0x20)
            return false;
    return true;
}

std::uint64_t ModuleResult::utf8Size() const
{
    if (!buffered())
        return text_.size();
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < units_.size(); ++i) {
        const std::size_t run = jsonscan::asciiRunEnd(units_, i);
        n += run - i;
        if (run == units_.size())
            break;
        i = run;
        const char16_t c = units_[i];
        if (c < 0x80)
            n += 1;
        else if (c < 0x800)
            n += 2;
        else if (isHigh(c) && i + 1 < units_.size() && isLow(units_[i + 1])) {
            n += 4;
            ++i;
        } else
            n += 3; // other characters of the basic plane, and U+FFFD for an unpaired surrogate
    }
    return n;
}

bool ModuleResult::writeUtf8(const std::function<bool(std::string_view)>& write) const
{
    if (!buffered())
        return text_.empty() || write(text_);
    std::string piece;
    piece.reserve(kPieceBytes);
    std::size_t pos = 0;
    while (pos < units_.size()) {
        piece.clear();
        pos = convertSome(units_, pos, piece, kPieceBytes);
        if (!write(piece))
            return false;
    }
    return true;
}

} // namespace kx
