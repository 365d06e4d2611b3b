#pragma once
// Turning bytes in a named charset (as a Content-Type header names it: "gbk", "GB18030",
// "Shift_JIS", "windows-1252", ...) into UTF-8, with the platform's own converter.
#include <memory>
#include <string>
#include <string_view>

namespace kx::platform {

class CharsetDecoder {
public:
    virtual ~CharsetDecoder() = default;
    // Appends the converter's UTF-8 text of bytes to out. Each text is decoded on its own (no state
    // carries over from an earlier call); a sequence that is invalid or cut off at the end becomes
    // U+FFFD. A converter may pass on what lies beyond UTF-8 (code points above U+10FFFF), so the
    // caller checks what was appended.
    virtual void decode(std::string_view bytes, std::string& out) = 0;
};

// A decoder for the charset (name compared without case), or nullptr when the platform's
// converter does not know it. One decoder serves one thread at a time.
std::unique_ptr<CharsetDecoder> openCharsetDecoder(std::string_view charset);

} // namespace kx::platform
