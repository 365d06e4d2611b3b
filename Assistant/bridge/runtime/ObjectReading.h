#pragma once
// Reading the objects a Pascal runtime hands back: fields at byte offsets, class names from class
// tables, and the decoding of a stream's bytes once its encoding is known. Shared by the runtime
// form implementations; each knows its own runtime's offsets.
#include "common/TextCodec.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace kx::runtimeform {

template <typename T>
T readAt(const void* base, std::ptrdiff_t offset)
{
    T value;
    std::memcpy(&value, static_cast<const char*>(base) + offset, sizeof value);
    return value;
}

// A class name kept as a short string (length byte, then the characters), or "" for none.
inline std::string shortString(const unsigned char* text)
{
    if (!text)
        return {};
    return std::string(reinterpret_cast<const char*>(text + 1), text[0]);
}

enum class ByteEncoding { Utf8, Latin1, Utf16Le, Utf16Be };

inline std::string decodeBytes(std::string_view bytes, ByteEncoding encoding)
{
    switch (encoding) {
    case ByteEncoding::Utf16Le: return utf16ToUtf8(utf16FromBytes(bytes, false));
    case ByteEncoding::Utf16Be: return utf16ToUtf8(utf16FromBytes(bytes, true));
    case ByteEncoding::Latin1: return latin1ToUtf8(bytes);
    case ByteEncoding::Utf8: break;
    }
    return utf16ToUtf8(utf8ToUtf16(bytes));
}

} // namespace kx::runtimeform
