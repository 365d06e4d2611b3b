#include "platform/ServiceHost.h"

#include "platform/Process.h"

#include <cerrno>

#include <poll.h>

namespace kx::platform {
namespace {

// In the foreground (also as a systemd service, which stops a unit with SIGTERM).
class ForegroundContext : public ServiceContext {
public:
    void reportRunning() override {}

    ServiceEvent nextEvent() override
    {
        const int fd = terminationSignalFd();
        while (!stopped_ && fd >= 0) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, -1) > 0) {
                drainTerminationSignalFd(fd);
                stopped_ = true;
            } else if (errno != EINTR) {
                break;
            }
        }
        stopped_ = true;
        return {};
    }

private:
    bool stopped_ = false;
};

} // namespace

int runService(const std::string&, const std::function<int(ServiceContext&)>& body)
{
    terminationSignalFd(); // the handlers are in place before the body starts
    ForegroundContext context;
    return body(context);
}

} // namespace kx::platform
