#include "common/JsonpCallback.h"

namespace kx {

namespace {

bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

} // namespace

bool isJsonpCallbackName(std::string_view name)
{
    if (name.empty() || name.size() > kMaxJsonpCallbackLength)
        return false;
    bool segmentStart = true;
    for (char c : name) {
        if (c == '.') {
            if (segmentStart)
                return false; // an empty segment
            segmentStart = true;
        } else if (isLetter(c) || (!segmentStart && isDigit(c))) {
            segmentStart = false;
        } else {
            return false;
        }
    }
    return !segmentStart; // a trailing dot leaves an empty last segment
}

std::string jsonpCallback(const std::string& parameter)
{
    return isJsonpCallbackName(parameter) ? parameter : std::string();
}

} // namespace kx
