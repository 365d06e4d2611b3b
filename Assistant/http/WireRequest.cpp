#include "http/WireRequest.h"

#include "http/ParameterDecoder.h"

#include <cctype>

namespace kx::http {

HttpRequest requestFromWire(boost::beast::http::request<boost::beast::http::string_body>&& message)
{
    HttpRequest request;
    for (char c : message.method_string())
        request.method += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    request.target = std::string(message.target());
    request.versionMajor = static_cast<int>(message.version() / 10);
    request.versionMinor = static_cast<int>(message.version() % 10);
    for (const auto& field : message)
        request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    request.body = std::move(message.body());
    const auto q = request.target.find('?');
    request.path = decodePath(std::string_view(request.target).substr(0, q));
    if (q != std::string::npos)
        request.query = request.target.substr(q + 1);
    const std::string contentType = request.header("Content-Type");
    request.params = decodeParameters(parameterText(contentType, request.body, request.query), charsetOf(contentType));
    return request;
}

} // namespace kx::http
