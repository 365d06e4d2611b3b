#pragma once
// A small HTTP client for the update server and the companion service. Requests follow no
// redirects and fetch only http:// and https:// addresses (any other scheme fails before a
// connection is made); HTTPS uses the system's certificate store. A reply whose status is not 2xx
// counts as a failure, like a connection failure. Time-outs are set per request (none by default).
// A reply body is held in memory, or handed piece by piece to a BodySink so that large bodies go
// straight to a file.
#include "http/HeaderList.h"

#include <chrono>
#include <functional>
#include <optional>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kx::http {

struct ClientReply {
    long status = 0;
    HeaderList headers; // in arrival order
    std::string body;   // bytes as received (empty with a sink)

    // The first header of this name, compared without case; "" when missing.
    std::string header(const std::string& name) const;
};

struct ClientResult {
    bool ok = false;   // a reply with a 2xx status arrived (and a sink took all of its body)
    std::string error; // why not, when !ok
    ClientReply reply; // filled whenever a reply arrived, also for an error status
};

// Receives a reply body as it arrives instead of the reply holding it.
class BodySink {
public:
    virtual ~BodySink() = default;
    // Called once, before the first body byte, with the final reply's status and headers (after
    // the transfer for an empty body of a complete reply). False: the body is not wanted and is
    // dropped unread.
    virtual bool begin(const ClientReply& head) = 0;
    // A piece of the body. False stops the transfer, which then fails.
    virtual bool write(const char* data, std::size_t size) = 0;
};

struct RequestOptions {
    // Zero means no limit of our own.
    std::chrono::milliseconds connectTimeout{0};
    // The transfer is abandoned when no byte moves for this long (whole seconds, at least 1).
    std::chrono::seconds stallTimeout{0};
    BodySink* sink = nullptr; // nullptr: the body goes to reply.body
    // The whole request, connecting included, is abandoned after this long (zero: no limit).
    std::chrono::milliseconds totalTimeout{0};
    // Asked once the connection stands, before a byte of the request is sent, with the address
    // and port actually connected to (the address as text: "127.0.0.1", "::1", "::ffff:127.0.0.1").
    // True refuses: nothing is sent and the request fails with "destination refused".
    std::function<bool(const std::string& ip, unsigned port)> refuseDestination{};
    // A limit that grows with the reply: the whole request is abandoned after `base` plus one
    // second per `bytesPerSecond` bytes of the reply body (its declared length, or what has
    // arrived when that is more), so a large download may take its time while a server that
    // trickles cannot hold the request for ever. A zero base sets no such limit.
    struct SizedTimeout {
        std::chrono::milliseconds base{0};
        std::uint64_t bytesPerSecond = 256 * 1024;
    };
    SizedTimeout sizedTimeout{};
};

using FormFields = std::vector<std::pair<std::string, std::string>>;

// POST of form fields as "application/x-www-form-urlencoded" (an empty list sends an empty body).
ClientResult postForm(const std::string& url, const FormFields& fields, const RequestOptions& options = {});
// POST of a raw body with no content type.
ClientResult postBody(const std::string& url, const std::string& body, const RequestOptions& options = {});

// The host and port an http or https address names, as the client's URL parser reads them: IPv4
// forms normalised ("2130706433", "0x7f000001", "0177.0.0.1" and "0" become dotted addresses),
// IPv6 literals in brackets, the scheme's port when none is given. Nothing when it is no such
// address.
struct UrlTarget {
    std::string host;
    unsigned port = 0;
};
std::optional<UrlTarget> urlTarget(const std::string& url);

// "name=value&..." with each name and value encoded for a form body.
std::string encodeForm(const FormFields& fields);

} // namespace kx::http
