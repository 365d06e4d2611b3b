#include "platform/ServiceHost.h"

#include "platform/AutoRunStore.h"
#include "platform/Process.h"

#include <cerrno>
#include <filesystem>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace kx::platform {
namespace {

// In the foreground (also as a systemd service, which stops a unit with SIGTERM). The folder of
// the start-with-system flag's store is watched: the store is replaced by a rename, so a new
// name in the folder is a written flag.
class ForegroundContext : public ServiceContext {
public:
    ForegroundContext()
    {
        watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        const std::string folder = std::filesystem::path(autoRunStorePath()).parent_path().string();
        if (watch_ >= 0 && ::inotify_add_watch(watch_, folder.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE) < 0) {
            ::close(watch_);
            watch_ = -1; // no folder yet: nobody has set the flag
        }
    }
    ~ForegroundContext() override
    {
        if (watch_ >= 0)
            ::close(watch_);
    }

    void reportRunning() override {}

    ServiceEvent nextEvent() override
    {
        const int signals = terminationSignalFd();
        while (!stopped_ && signals >= 0) {
            pollfd p[2] = {{signals, POLLIN, 0}, {watch_, POLLIN, 0}};
            const int n = ::poll(p, watch_ >= 0 ? 2 : 1, -1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                break;
            if (p[0].revents) {
                drainTerminationSignalFd(signals);
                break;
            }
            if (watch_ >= 0 && p[1].revents && drainWatch())
                return {ServiceEventKind::FlagChanged, 0};
        }
        stopped_ = true;
        return {};
    }

private:
    // Reads what the watch reported; true when it names the store's file.
    bool drainWatch()
    {
        const std::string name = std::filesystem::path(autoRunStorePath()).filename().string();
        alignas(inotify_event) char buf[4096];
        bool store = false;
        for (;;) {
            const ssize_t n = ::read(watch_, buf, sizeof buf);
            if (n <= 0)
                return store;
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
                if (e->len > 0 && name == e->name)
                    store = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
    }

    bool stopped_ = false;
    int watch_ = -1;
};

} // namespace

int runService(const std::string&, const std::function<int(ServiceContext&)>& body)
{
    terminationSignalFd(); // the handlers are in place before the body starts
    ForegroundContext context;
    return body(context);
}

} // namespace kx::platform
