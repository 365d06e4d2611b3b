#pragma once
// A small HTTP client for the update server and the companion service. Requests follow no
// redirects and set no time-out of their own; HTTPS uses the system's certificate store. A reply
// whose status is not 2xx counts as a failure, like a connection failure.
#include <string>
#include <utility>
#include <vector>

namespace kx::http {

struct ClientReply {
    long status = 0;
    std::vector<std::pair<std::string, std::string>> headers; // in arrival order
    std::string body;                                         // bytes as received

    // The first header of this name, compared without case; "" when missing.
    std::string header(const std::string& name) const;
};

struct ClientResult {
    bool ok = false;   // a reply with a 2xx status arrived
    std::string error; // why not, when !ok
    ClientReply reply; // filled whenever a reply arrived, also for an error status
};

using FormFields = std::vector<std::pair<std::string, std::string>>;

// POST of form fields as "application/x-www-form-urlencoded" (an empty list sends an empty body).
ClientResult postForm(const std::string& url, const FormFields& fields);
// POST of a raw body with no content type.
ClientResult postBody(const std::string& url, const std::string& body);

// "name=value&..." with each name and value encoded for a form body.
std::string encodeForm(const FormFields& fields);

} // namespace kx::http
