#include "common/TrayMenu.h"

#include "common/TextCodec.h"

namespace kx {

std::string balloonText(std::string_view message)
{
    std::u16string text = utf8ToUtf16(message);
    if (text.size() <= kBalloonCharacters)
        return std::string(message);
    std::size_t end = kBalloonCharacters;
    // A high surrogate at the cut would leave half a character.
    if (text[end - 1] >= 0xD800 && text[end - 1] <= 0xDBFF)
        --end;
    text.resize(end);
    return utf16ToUtf8(text);
}

} // namespace kx
