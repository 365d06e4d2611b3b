#pragma once
// Turns a request message as Beast's parser read it into the request web components see: upper-
// case method, raw target, path percent-decoded as UTF-8, query, headers in arrival order, body,
// and the parameters decoded once from the query and a form body in the charset it names.
#include "http/HttpRequest.h"

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

namespace kx::http {

HttpRequest requestFromWire(boost::beast::http::request<boost::beast::http::string_body>&& message);

} // namespace kx::http
