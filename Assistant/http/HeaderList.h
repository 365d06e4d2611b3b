#pragma once
// Header fields in arrival order, as a request and a reply both keep them, and the one lookup by
// name (compared without case) every reader of them uses.
#include "base/Text.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kx::http {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The value of the first field with this name; nullptr when there is none.
inline const std::string* findHeader(const HeaderList& headers, std::string_view name)
{
    for (const auto& [n, v] : headers)
        if (base::equalsNoCase(n, name))
            return &v;
    return nullptr;
}

// The value of the first field with this name; "" when there is none.
inline std::string headerOrEmpty(const HeaderList& headers, std::string_view name)
{
    const std::string* v = findHeader(headers, name);
    return v ? *v : std::string();
}

} // namespace kx::http
