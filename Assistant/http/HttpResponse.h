#pragma once
// A reply as web components set it. The HTTP layer fills in defaults and writes it.
#include <optional>
#include <string>

namespace kx::http {

struct HttpResponse {
    int status = 200;
    std::string body;               // UTF-8 text; encoded on the wire by the charset of contentType
    bool bodySet = false;           // set by setBody (an empty text body counts as set)
    std::string contentType;        // e.g. "text/html; charset=UTF-8"
    std::string contentDisposition; // written when not empty
    std::optional<std::string> filePath; // serve this file's bytes instead of the text body

    void setBody(std::string text)
    {
        body = std::move(text);
        bodySet = true;
    }
    void serveFile(std::string path) { filePath = std::move(path); }
};

} // namespace kx::http
