#include "platform/PathText.h"

namespace kx::platform {

std::string toNativeSeparators(std::string_view path)
{
    std::string out(path);
    for (char& c : out)
        if (c == '\\')
            c = '/';
    return out;
}

// Paths are byte strings here, and the system's names are UTF-8: the text is the path.
std::filesystem::path pathFromUtf8(std::string_view text)
{
    return std::filesystem::path(std::string(text));
}

std::string utf8FromPath(const std::filesystem::path& path)
{
    return path.native();
}

} // namespace kx::platform
