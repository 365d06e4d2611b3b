#pragma once
// A request as web components see it.
#include "http/HeaderList.h"
#include "http/RequestParameters.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kx::http {

struct HttpRequest {
    std::string method;  // upper case
    std::string target;  // raw request target
    std::string path;    // percent-decoded as UTF-8, without the query string
    std::string query;   // raw text after the first "?"
    int versionMajor = 1;
    int versionMinor = 1;
    HeaderList headers;  // in arrival order
    std::string body;    // raw bytes
    RequestParameters params; // decoded, UTF-8, in order

    // The first parameter with this name, compared without case; "" when missing.
    std::string param(const std::string& name) const;
    // The same without a copy: a view that lives as long as the parameters are not changed (for
    // parameters that may be hundreds of megabytes, such as a Base64 document).
    std::string_view paramView(const std::string& name) const;
    bool hasParam(const std::string& name) const;
    // The first header with this name, compared without case; "" when missing.
    std::string header(const std::string& name) const;
};

} // namespace kx::http
