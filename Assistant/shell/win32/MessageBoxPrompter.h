#pragma once
// The prompter of the Windows program: every message box is a MessageBoxW with the request's
// caption, icon, buttons and default button, topmost when asked. A box owned by the main window
// gets that window as its owner when it is asked for on the window's own thread; a box asked for
// by another thread has no owner, so it never waits for the main thread (which may be waiting for
// that other thread).
#include "common/Prompter.h"

#include <windows.h>

#include <atomic>

namespace kx::win {

class MessageBoxPrompter : public Prompter {
public:
    int messageBox(const MessageBoxRequest& request) override;
    // The owner of boxes that ask to be owned by the main window (nullptr: none).
    void setOwner(HWND window) { owner_.store(window); }

    // The MessageBoxW style for a request (without the owner).
    static UINT style(const MessageBoxRequest& request);

private:
    std::atomic<HWND> owner_{nullptr};
};

} // namespace kx::win
