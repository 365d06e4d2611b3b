#pragma once
// A reply as web components set it. The HTTP layer fills in defaults and writes it.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kx::http {

// Takes one piece of a streamed body; false when it could not be sent (the producer stops).
using BodyWriter = std::function<bool(std::string_view)>;
// Hands the whole body to the writer, piece by piece; false when it stopped early.
using BodyProducer = std::function<bool(const BodyWriter&)>;

// A body that is written in pieces while the reply is sent instead of being held whole: `size`
// bytes of UTF-8 text, known (and checked) before the head is written.
struct StreamedBody {
    std::uint64_t size = 0;
    BodyProducer produce;
};

struct HttpResponse {
    int status = 200;
    std::string body;               // UTF-8 text; encoded on the wire by the charset of contentType
    bool bodySet = false;           // set by setBody (an empty text body counts as set)
    std::string contentType;        // e.g. "text/html; charset=UTF-8"
    std::string contentDisposition; // written when not empty
    std::optional<std::string> filePath; // serve this file's bytes instead of the text body
    std::optional<StreamedBody> streamedBody; // set instead of body by setStreamedBody
    // The body is markup the service does not control (a module's bytes sent as they are): it is
    // sent with "Content-Security-Policy: sandbox allow-scripts allow-forms" and
    // "X-Content-Type-Options: nosniff", so a browser runs it in an opaque origin (its requests
    // carry "Origin: null") instead of the service's own, and never sniffs another type.
    bool untrustedMarkup = false;
    // Above zero: "Retry-After" with this many seconds (a refusal for the moment, such as 503).
    int retryAfterSeconds = 0;

    void setBody(std::string text)
    {
        body = std::move(text);
        streamedBody.reset();
        bodySet = true;
    }
    void setStreamedBody(std::uint64_t size, BodyProducer produce)
    {
        body.clear();
        streamedBody = StreamedBody{size, std::move(produce)};
        bodySet = true;
    }
    void serveFile(std::string path) { filePath = std::move(path); }
};

} // namespace kx::http
