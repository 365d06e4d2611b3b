#include "update/ThreadUnit.h"

#include "common/Prompter.h"
#include "common/TextCodec.h"
#include "common/WindowMessages.h"
#include "update/UpdateSteps.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace kx {
namespace {

std::mutex g_checkMutex; // held for the whole of one check

// The checks in flight: `count` threads (at most one running and one waiting), and what the
// waiting one will check once it starts.
struct Running {
    std::mutex mutex;
    std::condition_variable idle;
    int count = 0;
    bool waiting = false;
    std::string waitingFolder;
    bool waitingManual = false;
    WindowId waitingWindow{};
};

Running& running()
{
    static Running r;
    return r;
}

void showResultBox(const char* text)
{
    showMessage(text, BoxIcon::Question, BoxButtons::Ok, kAnswerOk);
}

} // namespace

TUpgradeAppThread::TUpgradeAppThread(std::string dir, bool manual, WindowId window)
    : appFileDir(std::move(dir)), manualCheck(manual), MainFromHandle(window)
{
}

void TUpgradeAppThread::Create(const std::string& appFileDir, bool manualCheck, WindowId mainFromHandle)
{
    Running& r = running();
    {
        std::lock_guard lock(r.mutex);
        const bool join = r.waiting;
        r.waitingFolder = appFileDir;
        r.waitingManual = (join && r.waitingManual) || manualCheck;
        r.waitingWindow = mainFromHandle;
        if (join)
            return;
        r.waiting = true;
        ++r.count;
    }
    // Ends this thread's part; `claimed` tells whether it took the waiting request (when it did
    // not, the request is dropped so a later one starts a thread again).
    auto finished = [&r](bool claimed) {
        std::lock_guard lock(r.mutex);
        if (!claimed)
            r.waiting = false;
        if (--r.count == 0)
            r.idle.notify_all();
    };
    try {
        std::thread([finished, &r] {
            bool claimed = false;
            try {
                std::this_thread::sleep_for(updatePause());
                std::lock_guard check(g_checkMutex);
                std::unique_lock lock(r.mutex);
                // From here on this check runs: a new request starts the next waiting one.
                r.waiting = false;
                claimed = true;
                TUpgradeAppThread self(std::move(r.waitingFolder), r.waitingManual, r.waitingWindow);
                lock.unlock();
                self.Execute();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "update check: %s\n", e.what());
            }
            finished(claimed);
        }).detach();
    } catch (...) {
        finished(false); // no thread could be created: the check never runs
        throw;
    }
}

bool TUpgradeAppThread::waitUntilIdle(std::chrono::milliseconds timeout)
{
    Running& r = running();
    std::unique_lock lock(r.mutex);
    return r.idle.wait_for(lock, timeout, [&r] { return r.count == 0; });
}

void TUpgradeAppThread::Execute()
{
    std::string result = checkAppUpdate(appFileDir);
    if (result == "0")
        result = checkModuleUpdate(appFileDir);

    if (result == "0") {
        if (manualCheck)
            showResultBox("Kestrix客户端是最新版本，无需更新！");
    } else if (result == "100") {
        if (manualCheck)
            showResultBox("更新服务器地址为空！");
    } else if (result == "2") {
        sendMessage(MainFromHandle, WM_UPGRADE_DLL, 0, 0);
    } else {
        const std::u16string path = utf8ToUtf16(result);
        UpgradeAppRecord record;
        record.path = path.c_str();
        sendMessage(MainFromHandle, WM_UPGRADE_APP, 0, reinterpret_cast<std::intptr_t>(&record));
    }
}

} // namespace kx
