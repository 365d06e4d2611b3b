#include "platform/PathText.h"

#include "platform/win32/WideText.h"

namespace kx::platform {

std::string toNativeSeparators(std::string_view path)
{
    std::string out(path);
    for (char& c : out)
        if (c == '/')
            c = '\\';
    return out;
}

// The file system's names are UTF-16 here; the path holds them as wide text.
std::filesystem::path pathFromUtf8(std::string_view text)
{
    return std::filesystem::path(win32::wideFromUtf8(text));
}

std::string utf8FromPath(const std::filesystem::path& path)
{
    return win32::utf8FromWide(path.native());
}

} // namespace kx::platform
