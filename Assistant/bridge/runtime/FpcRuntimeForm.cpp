// Free Pascal 3.2 (Delphi mode), x86-64 Linux: the layout of UnicodeString and TStringStream.
#include "bridge/RuntimeForm.h"

#include "bridge/runtime/ObjectReading.h"

#include <cstring>

namespace kx::runtimeform {

namespace {

// UnicodeString header, in front of the first code unit:
// -24 code page (u16), -22 element size (u16), -20 padding, -16 reference count (i64),
// -8 length in code units (i64); a NUL code unit follows the text.
constexpr std::size_t kHeaderBytes = 24;
constexpr std::uint16_t kCodePageUtf16 = 1200;
constexpr std::int64_t kConstantRefCount = -1;

// TStringStream fields (byte offsets in the instance).
constexpr std::size_t kStreamMemory = 8;
constexpr std::size_t kStreamSize = 16;
constexpr std::size_t kStreamEncoding = 48;
// Class table: +16 parent (pointer to the parent's class pointer), +24 class name (short string).
constexpr std::size_t kClassParent = 16;
constexpr std::size_t kClassName = 24;
// TMBCSEncoding: the code page (i32).
constexpr std::size_t kEncodingCodePage = 16;

std::string className(const void* classTable)
{
    return shortString(readAt<const unsigned char*>(classTable, kClassName));
}

using Encoding = ByteEncoding;

Encoding codePageEncoding(std::int32_t codePage)
{
    switch (codePage) {
    case 1200: return Encoding::Utf16Le;
    case 1201: return Encoding::Utf16Be;
    case 28591: return Encoding::Latin1;
    default: return Encoding::Utf8; // 65001, 20127 (ASCII), 0 (the system code page: UTF-8 here)
    }
}

Encoding streamEncoding(const void* encodingObject)
{
    if (!encodingObject)
        return Encoding::Utf8;
    const void* classTable = readAt<const void*>(encodingObject, 0);
    for (int depth = 0; classTable && depth < 32; ++depth) {
        const std::string name = className(classTable);
        if (name == "TBigEndianUnicodeEncoding")
            return Encoding::Utf16Be;
        if (name == "TUnicodeEncoding")
            return Encoding::Utf16Le;
        if (name == "TMBCSEncoding")
            return codePageEncoding(readAt<std::int32_t>(encodingObject, kEncodingCodePage));
        const auto* parent = readAt<const void* const*>(classTable, kClassParent);
        classTable = parent ? *parent : nullptr;
    }
    return Encoding::Utf8;
}

} // namespace

ConstString::ConstString(std::u16string_view text) : empty_(text.empty())
{
    if (empty_)
        return;
    const std::size_t bytes = kHeaderBytes + (text.size() + 1) * sizeof(char16_t);
    storage_.assign((bytes + 7) / 8, 0);
    auto* base = reinterpret_cast<unsigned char*>(storage_.data());
    const std::uint16_t codePage = kCodePageUtf16;
    const std::uint16_t elementSize = 2;
    const std::int64_t refCount = kConstantRefCount;
    const auto length = static_cast<std::int64_t>(text.size());
    std::memcpy(base + 0, &codePage, 2);
    std::memcpy(base + 2, &elementSize, 2);
    std::memcpy(base + 8, &refCount, 8);
    std::memcpy(base + 16, &length, 8);
    std::memcpy(base + kHeaderBytes, text.data(), text.size() * sizeof(char16_t));
    // The terminating NUL is already there (storage is zero-filled).
}

const char16_t* ConstString::get() const
{
    if (empty_)
        return nullptr;
    return reinterpret_cast<const char16_t*>(reinterpret_cast<const unsigned char*>(storage_.data()) + kHeaderBytes);
}

StreamRead readStringStream(const void* object, std::string& text)
{
    text.clear();
    if (!object)
        return StreamRead::NoObject;
    const auto* memory = readAt<const char*>(object, kStreamMemory);
    const auto size = readAt<std::int64_t>(object, kStreamSize);
    if (size < 0 || (size > 0 && !memory))
        return StreamRead::Unreadable;
    const std::string_view bytes(memory ? memory : "", static_cast<std::size_t>(size));
    text = decodeBytes(bytes, streamEncoding(readAt<const void*>(object, kStreamEncoding)));
    return StreamRead::Ok;
}

} // namespace kx::runtimeform
