#pragma once
// UTF-8 text to and from the UTF-16 that the wide ("W") Windows calls take, and the system's
// message for an error number. Only the Windows side of the platform seam uses these.
#include <string>
#include <string_view>

namespace kx::platform::win32 {

// Invalid UTF-8 becomes U+FFFD.
std::wstring wideFromUtf8(std::string_view text);
// Unpaired surrogates become U+FFFD.
std::string utf8FromWide(std::wstring_view text);
// The system's text for an error number (GetLastError, WSAGetLastError), without the line end,
// followed by the number, e.g. "The system cannot find the file specified. (error 2)".
std::string systemErrorText(unsigned long error);

} // namespace kx::platform::win32
