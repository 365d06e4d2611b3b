#pragma once
// Request handling without a socket: the endpoint table, dispatch to a component, and the
// building of the reply head and body by the service's rules.
#include "http/CallerGate.h"
#include "http/WebComponent.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kx::http {

class Dispatcher {
public:
    void add(const std::string& path, std::unique_ptr<WebComponent> component);
    void initAll();
    // The component whose path equals the decoded path exactly, or nullptr.
    WebComponent* find(const std::string& path) const;
    // Replaces the caller gate (before start; not null). Without a call the gate checks Host only.
    void setGate(std::shared_ptr<CallerGate> gate);
    // True when dispatching the request never waits: it names no component (404) or one whose
    // handlers answer at once.
    bool answersAtOnce(const HttpRequest& request) const;
    // Fills the response for the request; sets closeConnection for replies after which the
    // connection must close (404, and 403 from the caller gate, which runs before anything else).
    void dispatch(HttpRequest& request, HttpResponse& response, bool& closeConnection) const;

private:
    std::vector<std::pair<std::string, std::unique_ptr<WebComponent>>> table_;
    std::shared_ptr<CallerGate> gate_ = std::make_shared<CallerGate>();
};

// Reason text for a status number ("OK", "Not Found", "Method not allowed", ...).
std::string reasonText(int status);
// "<HTML><BODY><B>" + status + " " + reason + "</B></BODY></HTML>"
std::string defaultBody(int status);
// The 500 page for an error raised by a component.
std::string errorPage(const std::string& componentClass, const std::string& errorClass,
                      const std::string& message);
// RFC 1123 date in GMT for a time_t.
std::string httpDate(long long secondsSinceEpoch);

struct ReplyHead {
    std::string head;          // status line and headers, ending with an empty line
    std::string body;          // encoded text body (empty when a file is served or for HEAD)
    std::string filePath;      // file to send after the head, when serving a file
    unsigned long long fileSize = 0;
    StreamedBody streamed;     // a body to produce after the head (produce unset when none)
};

// Applies the default body and content type rules and encodes the body. isHead leaves the body
// out (Content-Length still tells its size). A file that cannot be opened is reported through
// fileMissing so the caller can fall back.
ReplyHead buildReply(const HttpResponse& response, const std::string& method, bool keepAlive,
                     long long now);

// Produces the streamed body of a reply through `write`. False when the producer stopped early or
// handed over a different number of bytes than the head announced (the connection must close).
bool writeStreamedBody(const ReplyHead& reply, const BodyWriter& write);

} // namespace kx::http
