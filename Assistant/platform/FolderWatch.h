#pragma once
// Hears that something changed in a folder without looking at its files: a file in it created,
// written, changed in its attributes, removed or renamed, and the folder itself removed or
// renamed. Notices are queued by the system as the change happens, so a look after a change has
// completed always hears it. Where the system gives no such notice at once (Windows reports some
// writes only when they reach the disk), available() is false and callers compare files
// themselves. One object serves many folders; the caller serialises its use.
#include <memory>
#include <string>

namespace kx::platform {

class FolderWatch {
public:
    FolderWatch();
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    bool available() const;
    // Listens to the folder from now on (nothing to do when it does already). False when it
    // cannot: the folder is missing, or the system allows no more.
    bool watch(const std::string& folder);
    // True when notices wait to be taken (changedSinceLastLook), without taking them. Unlike the
    // other calls, any thread may ask this at any time.
    bool noticesWaiting() const;
    // Takes what was heard since the last look, without waiting. True when anything changed in a
    // listened-to folder, or when notices were lost. A folder that was removed or renamed is no
    // longer listened to (watch it again to follow what now has its name).
    bool changedSinceLastLook();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace kx::platform
