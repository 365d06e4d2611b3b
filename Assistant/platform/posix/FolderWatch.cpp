#include "platform/FolderWatch.h"

#include "platform/PathText.h"

#include <cerrno>
#include <cstring>
#include <unordered_map>

#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kx::platform {

namespace {

// Everything that changes what a file in the folder reads as, or which file a name leads to.
constexpr std::uint32_t kChanges = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                   IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

} // namespace

struct FolderWatch::State {
    int fd = -1;
    std::unordered_map<std::string, int> byFolder; // folder -> watch descriptor
    std::unordered_map<int, std::string> byWatch;

    void forget(int wd)
    {
        auto it = byWatch.find(wd);
        if (it == byWatch.end())
            return;
        byFolder.erase(it->second);
        byWatch.erase(it);
    }
};

FolderWatch::FolderWatch() : state_(std::make_unique<State>())
{
    state_->fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
}

FolderWatch::~FolderWatch()
{
    if (state_->fd >= 0)
        ::close(state_->fd);
}

bool FolderWatch::available() const
{
    return state_->fd >= 0;
}

bool FolderWatch::noticesWaiting() const
{
    int bytes = 0;
    return state_->fd >= 0 && ::ioctl(state_->fd, FIONREAD, &bytes) == 0 && bytes > 0;
}

bool FolderWatch::watch(const std::string& folder)
{
    if (state_->fd < 0)
        return false;
    if (state_->byFolder.count(folder))
        return true;
    const int wd = ::inotify_add_watch(state_->fd, toNativeSeparators(folder).c_str(), kChanges);
    if (wd < 0)
        return false;
    // Two names of one folder share a watch descriptor; the later name is the one kept.
    state_->forget(wd);
    state_->byFolder[folder] = wd;
    state_->byWatch[wd] = folder;
    return true;
}

bool FolderWatch::changedSinceLastLook()
{
    if (state_->fd < 0)
        return false;
    bool changed = false;
    alignas(inotify_event) char buffer[16 * 1024];
    while (true) {
        const ssize_t n = ::read(state_->fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return changed; // nothing more (EAGAIN)
        changed = true;
        for (ssize_t at = 0; at < n;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            if (event.mask & IN_MOVE_SELF) {
                // The watch would follow the folder to its new name; its old name is looked up
                // afresh by the next watch().
                ::inotify_rm_watch(state_->fd, event.wd);
                state_->forget(event.wd);
            } else if (event.mask & IN_IGNORED) {
                state_->forget(event.wd); // the folder is gone
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
        }
    }
}

} // namespace kx::platform
