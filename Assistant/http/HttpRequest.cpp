#include "http/HttpRequest.h"

namespace kx::http {

std::string HttpRequest::param(const std::string& name) const
{
    const auto v = params.find(name);
    return v ? std::string(*v) : std::string();
}

std::string_view HttpRequest::paramView(const std::string& name) const
{
    return params.find(name).value_or(std::string_view());
}

bool HttpRequest::hasParam(const std::string& name) const
{
    return params.find(name).has_value();
}

std::string HttpRequest::header(const std::string& name) const
{
    return headerOrEmpty(headers, name);
}

} // namespace kx::http
