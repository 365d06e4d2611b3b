// Delphi 2009 and later on Windows: the layout of UnicodeString and TStringStream. The modules
// users have are 32-bit; a 64-bit build (where the tests run on machines without 32-bit support)
// reads the 64-bit layout, in which every pointer-sized slot is twice as wide.
#include "bridge/RuntimeForm.h"

#include "bridge/runtime/ObjectReading.h"
#include "platform/CharsetDecoder.h"
#include "platform/SystemCodePage.h"

#include <cstring>

namespace kx::runtimeform {

namespace {

// UnicodeString header, in front of the first code unit:
// -12 code page (u16), -10 element size (u16), -8 reference count (i32), -4 length in code units
// (i32); a NUL code unit follows the text.
constexpr std::size_t kHeaderBytes = 12;
constexpr std::uint16_t kCodePageUtf16 = 1200;
constexpr std::int32_t kConstantRefCount = -1;

// One pointer-sized slot: 4 bytes on 32-bit Windows, 8 on 64-bit.
constexpr std::ptrdiff_t kSlot = sizeof(void*);
// TStringStream fields (byte offsets in the instance, given for 32-bit): class pointer at 0,
// memory at 4, size at 8 (sizes and positions are pointer-sized), encoding at 24.
constexpr std::ptrdiff_t kStreamMemory = 1 * kSlot;
constexpr std::ptrdiff_t kStreamSize = 2 * kSlot;
constexpr std::ptrdiff_t kStreamEncoding = 6 * kSlot;
// Class table, at negative offsets from the class pointer: -56 class name (short string),
// -48 parent (pointer to the parent's class pointer, null for TObject).
constexpr std::ptrdiff_t kClassName = -14 * kSlot;
constexpr std::ptrdiff_t kClassParent = -12 * kSlot;
// TMBCSEncoding's code page (u32). From Delphi XE on, TEncoding itself holds FIsSingleByte
// (a byte at +4) and FMaxCharSize (i32 at +8), which put the code page at +12; in Delphi 2009 and
// 2010 TEncoding has no fields and the code page is at +4 (right after the class pointer).
constexpr std::ptrdiff_t kEncodingIsSingleByte = kSlot;
constexpr std::ptrdiff_t kEncodingMaxCharSize = kSlot + 4;
constexpr std::ptrdiff_t kEncodingCodePage = kSlot + 8;
constexpr std::ptrdiff_t kEncodingCodePageEarly = kSlot;

std::string className(const void* classTable)
{
    return shortString(readAt<const unsigned char*>(classTable, kClassName));
}

std::uint32_t mbcsCodePage(const void* encodingObject)
{
    const auto singleByte = readAt<std::uint8_t>(encodingObject, kEncodingIsSingleByte);
    const auto maxCharSize = readAt<std::int32_t>(encodingObject, kEncodingMaxCharSize);
    if (singleByte <= 1 && maxCharSize >= 1 && maxCharSize <= 8)
        return readAt<std::uint32_t>(encodingObject, kEncodingCodePage);
    return readAt<std::uint32_t>(encodingObject, kEncodingCodePageEarly);
}

struct StreamEncoding {
    ByteEncoding bytes = ByteEncoding::Utf8;
    bool converter = false;     // another code page, decoded by the platform's converter
    std::uint32_t codePage = 0; // which one
};

StreamEncoding codePageEncoding(std::uint32_t codePage)
{
    switch (codePage) {
    case 65001:
    case 20127: // ASCII
        return {ByteEncoding::Utf8};
    case 1200: return {ByteEncoding::Utf16Le};
    case 1201: return {ByteEncoding::Utf16Be};
    case 28591: return {ByteEncoding::Latin1};
    default: return {ByteEncoding::Utf8, true, codePage};
    }
}

// The encoding object's class decides; a stream without one is read as UTF-8.
StreamEncoding streamEncoding(const void* encodingObject)
{
    if (!encodingObject)
        return {};
    const void* classTable = readAt<const void*>(encodingObject, 0);
    for (int depth = 0; classTable && depth < 32; ++depth) {
        const std::string name = className(classTable);
        if (name == "TBigEndianUnicodeEncoding")
            return {ByteEncoding::Utf16Be};
        if (name == "TUnicodeEncoding")
            return {ByteEncoding::Utf16Le};
        if (name == "TUTF8Encoding")
            return {ByteEncoding::Utf8};
        if (name == "TMBCSEncoding")
            return codePageEncoding(mbcsCodePage(encodingObject));
        const auto* parent = readAt<const void* const*>(classTable, kClassParent);
        classTable = parent ? *parent : nullptr;
    }
    return {};
}

// Bytes in a Windows code page, through the platform's converter. Code page 0 is the system's ANSI
// code page. A code page the converter does not know is read as UTF-8 when the bytes are valid
// UTF-8, else one character per byte.
std::string decodeCodePage(std::string_view bytes, std::uint32_t codePage)
{
    if (codePage == 0) {
        std::string text = platform::fromSystemCodePage(bytes);
        return isValidUtf8(text) ? text : decodeBytes(bytes, ByteEncoding::Latin1);
    }
    const std::string number = std::to_string(codePage);
    for (const std::string& name : {"cp" + number, "windows-" + number}) {
        if (auto decoder = platform::openCharsetDecoder(name)) {
            std::string text;
            decoder->decode(bytes, text);
            // The converter may pass on what lies beyond UTF-8.
            return repairedUtf8(std::move(text));
        }
    }
    return decodeBytes(bytes, isValidUtf8(bytes) ? ByteEncoding::Utf8 : ByteEncoding::Latin1);
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
    const std::int32_t refCount = kConstantRefCount;
    const auto length = static_cast<std::int32_t>(text.size());
    std::memcpy(base + 0, &codePage, 2);
    std::memcpy(base + 2, &elementSize, 2);
    std::memcpy(base + 4, &refCount, 4);
    std::memcpy(base + 8, &length, 4);
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
    const auto size = readAt<std::intptr_t>(object, kStreamSize);
    if (size < 0 || (size > 0 && !memory))
        return StreamRead::Unreadable;
    const std::string_view bytes(memory ? memory : "", static_cast<std::size_t>(size));
    const StreamEncoding encoding = streamEncoding(readAt<const void*>(object, kStreamEncoding));
    text = encoding.converter ? decodeCodePage(bytes, encoding.codePage) : decodeBytes(bytes, encoding.bytes);
    return StreamRead::Ok;
}

} // namespace kx::runtimeform
