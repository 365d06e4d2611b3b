#include "http/HttpRequest.h"

#include <cctype>

namespace kx::http {
namespace {

bool equalNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = a[i], y = b[i];
        if (x < 0x80 && y < 0x80) {
            if (std::tolower(x) != std::tolower(y))
                return false;
        } else if (x != y) {
            return false;
        }
    }
    return true;
}

template <typename List>
const std::string* findNoCase(const List& list, const std::string& name)
{
    for (const auto& [n, v] : list)
        if (equalNoCase(n, name))
            return &v;
    return nullptr;
}

} // namespace

std::string HttpRequest::param(const std::string& name) const
{
    const auto v = params.find(name);
    return v ? std::string(*v) : std::string();
}

bool HttpRequest::hasParam(const std::string& name) const
{
    return params.find(name).has_value();
}

std::string HttpRequest::header(const std::string& name) const
{
    const std::string* v = findNoCase(headers, name);
    return v ? *v : std::string();
}

} // namespace kx::http
