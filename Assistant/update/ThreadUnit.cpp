#include "update/ThreadUnit.h"

#include "common/Prompter.h"
#include "common/TextCodec.h"
#include "common/WindowMessages.h"
#include "update/UpdateSteps.h"

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

namespace kx {
namespace {

std::mutex g_checkMutex; // held for the whole of one check

struct Running {
    std::mutex mutex;
    std::condition_variable idle;
    int count = 0;
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
    std::unique_ptr<TUpgradeAppThread> self(new TUpgradeAppThread(appFileDir, manualCheck, mainFromHandle));
    {
        std::lock_guard lock(running().mutex);
        ++running().count;
    }
    auto finished = [] {
        Running& r = running();
        std::lock_guard lock(r.mutex);
        if (--r.count == 0)
            r.idle.notify_all();
    };
    try {
        std::thread([check = std::move(self), finished] {
            try {
                check->Execute();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "update check: %s\n", e.what());
            }
            finished();
        }).detach();
    } catch (...) {
        finished(); // no thread could be created: the check never runs
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
    std::this_thread::sleep_for(updatePause());
    std::lock_guard lock(g_checkMutex);

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
