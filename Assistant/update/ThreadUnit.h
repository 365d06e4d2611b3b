#pragma once
// TUpgradeAppThread: one update check on a thread of its own. It looks for a newer installer,
// then for module updates, and reports what it found to the main window with a blocking send
// (WM_UPGRADE_APP with the installer path, WM_UPGRADE_DLL for a module update waiting for a
// restart). A manual check also tells the user when there is nothing to do.
//
// Checks never overlap, and at most one runs while at most one waits: a check requested while
// another waits to run joins the waiting one instead of starting a thread of its own (it reads the
// stored update address when it starts, so it takes in the newest one; it is manual when any of the
// requests it stands for was). A burst of requests therefore costs two threads, not one each. The
// waiting check starts when the running one has ended (including the main window's handling of its
// message), so every requested check is answered and two checks never share the download and
// upgrade folders. The wait is bounded because every update request is: a server that does not
// accept within 10 s, or stops sending for 30 s, is given up.
#include "common/WindowTable.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace kx {

// The record that lParam of WM_UPGRADE_APP points to. It lives in the sending thread's memory and
// stays valid until the send returns; the receiver copies the path.
struct UpgradeAppRecord {
    std::uint32_t reserved1 = 0;
    std::uint32_t reserved2 = 0;
    const char16_t* path = nullptr; // zero-terminated
};

class TUpgradeAppThread {
public:
    // Requests a check: starts one, or joins the check already waiting to run (whose folder and
    // receiver become these). The receiver of the result messages is given here rather than set
    // afterwards, so the running thread never reads it while the creator writes it. Raises
    // std::system_error when no thread can be created.
    static void Create(const std::string& appFileDir, bool manualCheck, WindowId mainFromHandle);

    // Waits until no check runs or is waiting to run; false when timeout passed first.
    static bool waitUntilIdle(std::chrono::milliseconds timeout);

    const std::string appFileDir;
    const bool manualCheck;
    const WindowId MainFromHandle;

private:
    TUpgradeAppThread(std::string appFileDir, bool manualCheck, WindowId mainFromHandle);
    void Execute();
};

} // namespace kx
