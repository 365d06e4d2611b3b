#pragma once
// The companion service's local HTTP service: the assistant's address (conf/sys.ini
// [HTTP] server.ip) at its port + 2, with two requests, both POST:
//   /controlMainApp?ct=2       restart the assistant
//   /upgradeMainApp?fp=<path>  end the assistant, run the installer unattended, start it again
// Only the assistant calls it: besides the Host check, every request that carries Origin,
// Referer or any Sec-Fetch-* header is refused (403), as a web page's request would. One request
// at a time: while a job runs, another gets 409. A request is answered as soon as it has been
// checked and its job started (200): the assistant waits for the answer on its main thread, which
// has to be free to close its window. Each request, refusal and step is a line in the log.
#include "companion/CompanionJobs.h"
#include "http/HttpService.h"

#include <memory>
#include <string>

namespace kx::companion {

// The port the companion listens on for the assistant's port text; raises KxError when the text
// is not a port number or the port + 2 is not one.
std::string companionPort(const std::string& assistantPort);

class CompanionService {
public:
    CompanionService(std::string programFolder, std::shared_ptr<CompanionLog> log, std::shared_ptr<CompanionJobs> jobs);
    ~CompanionService();

    // Listens at the address and port from conf/sys.ini (or the given ones). Raises KxError when
    // it cannot.
    void start();
    void start(const std::string& address, const std::string& port);
    void stop();
    unsigned short boundPort() const { return http_.boundPort(); }

private:
    std::string programFolder_;
    std::shared_ptr<CompanionLog> log_;
    std::shared_ptr<CompanionJobs> jobs_;
    http::HttpService http_;
};

} // namespace kx::companion
