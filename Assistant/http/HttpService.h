#pragma once
// The local HTTP/1.1 service: one listener, connection loops (ConnectionLoop.h) that read
// every connection without blocking and answer the requests that never wait, worker threads for
// the requests that may wait, the endpoint table, and the reply rules every page relies on. A
// connection holds one descriptor (its socket). When the process runs out of descriptors, new
// connections wait in the listen queue and accepting resumes shortly after: the service refuses
// for a while and never ends.
#include "http/CallerGate.h"
#include "http/WebComponent.h"

#include <cstdint>
#include <memory>
#include <string>

namespace kx::http {

struct ServiceLimits {
    std::size_t maxBodyBytes = 256u * 1024 * 1024;
    // The head of a request must be complete this long after the connection began to wait for it;
    // an idle kept-alive connection is closed when the time is up.
    int headTimeoutSeconds = 60;
    // While a body arrives, a connection on which no byte arrives for this long is closed.
    int bodyIdleSeconds = 60;
    // Connection loop threads (at least one). One loop answers a kept-alive /heart in about 8 µs
    // of processor time, and everything that may take longer runs on worker threads; a second
    // loop only adds thread switches when the clients sit on the same processors.
    unsigned loopThreads = 1;
    // A request head (request line and header fields) larger than this gets 431 and the
    // connection closes. Pages send whole documents in query strings, and the longest address a
    // browser sends is about 2 MiB (Chromium's limit), so that much plus 64 KiB of header fields
    // is served; an unfinished head never holds more.
    std::size_t maxHeadBytes = 2u * 1024 * 1024 + 64u * 1024;
    // A reply whose client takes no byte of it for this long is given up and the connection closed.
    int replyStallSeconds = 60;
    // Worker threads at most: for requests that may wait (module calls, large requests), and apart
    // from them for finishing replies the socket did not take at once. Work past a cap waits for a
    // thread of its kind, so clients that never read their replies hold writers only and never
    // keep a module call from being answered.
    unsigned maxAnswerWorkers = 64;
    unsigned maxReplyWriters = 16;
    // Request bodies held at once, all connections together. A body that does not fit gets 503
    // with "Retry-After: busyRetryAfterSeconds" before it is read (a chunked body as soon as what
    // arrived passes what is left), and its connection closes.
    std::uint64_t maxBodiesInFlightBytes = 512u * 1024 * 1024;
    int busyRetryAfterSeconds = 5;
};

class HttpService {
public:
    HttpService();
    ~HttpService(); // stops
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    // Before start: paths are matched exactly, in registration order.
    void registerComponent(const std::string& path, std::unique_ptr<WebComponent> component);
    void setLimits(const ServiceLimits& limits);
    // Before start: who may be served (see CallerGate.h). Without a call, Host is checked only.
    void setCallerGate(std::shared_ptr<CallerGate> gate);

    // Listens on address (IPv6 when it holds ":") and port (decimal text). Raises KxError when the
    // port is not a number or the address cannot be bound.
    void start(const std::string& address, const std::string& port);
    // Closes the listener and every connection and joins every thread. Idempotent.
    void stop();
    bool running() const;
    unsigned short boundPort() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kx::http
