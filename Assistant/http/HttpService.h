#pragma once
// The local HTTP/1.1 service: one listener, one thread per connection, the endpoint table, and
// the reply rules every page relies on.
#include "http/CallerGate.h"
#include "http/WebComponent.h"

#include <memory>
#include <string>

namespace kx::http {

struct ServiceLimits {
    std::size_t maxBodyBytes = 256u * 1024 * 1024;
    int headTimeoutSeconds = 60;
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
