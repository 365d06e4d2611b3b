#pragma once
// The runtime form of a module function: `function F(const data, config: UnicodeString):
// TStringStream` of the Pascal runtime the module libraries are built with. This header is what
// the invokers use; the layout of the runtime's strings and stream objects is known only to its
// implementation in runtime/, one of which the build picks: FpcRuntimeForm.cpp (Free Pascal,
// 64-bit Linux) or DelphiRuntimeForm.cpp (Delphi, 32-bit Windows).
#include "base/LibraryConventions.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kx::runtimeform {

// The function as the platform's library calling convention sees it: two string pointers in, an
// object pointer out.
using Function = void*(KX_LIBRARY_CALL*)(const char16_t* data, const char16_t* config);

// A constant string of the runtime, owned by the caller. The runtime never changes or frees it
// (its reference count says "constant"); it must outlive the call.
class ConstString {
public:
    explicit ConstString(std::u16string_view text);
    // What the function receives: nullptr for the empty text, as the runtime passes it.
    const char16_t* get() const;

private:
    std::vector<std::uint64_t> storage_;
    bool empty_ = true;
};

enum class StreamRead { Ok, NoObject, Unreadable };

// The whole content of a returned stream object, decoded with the stream's own encoding, as UTF-8.
// Never frees the object. Must run while the library that made it is still loaded.
StreamRead readStringStream(const void* object, std::string& text);

} // namespace kx::runtimeform
