// Program entry of Kestrix Assistant on Windows: a GUI-subsystem program (no console window) with
// a hidden main window and a message loop.
#include "bridge/SigningLibrary.h"
#include "common/Prompter.h"
#include "platform/Memory.h"
#include "platform/Process.h"
#include "platform/ResourceLimits.h"
#include "shell/win32/MainWindow.h"
#include "shell/win32/MessageBoxPrompter.h"

#include <windows.h>

#include <cstdio>
#include <exception>
#include <memory>

using namespace kx;

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    platform::returnLargeBlocksToSystem();
    platform::raiseDescriptorLimit();

    auto boxes = std::make_shared<win::MessageBoxPrompter>();
    setPrompter(boxes);

    // Both refusals: a box without owner, OK button, question mark, topmost.
    if (!platform::isAdministrator()) {
        showMessage("请以管理员身份启动Kestrix客户端助手", BoxIcon::Question);
        return 1;
    }
    if (platform::acquireInstanceLock("kestrixAssistant") == platform::InstanceLockResult::AlreadyRunning) {
        showMessage("程序已经运行", BoxIcon::Question);
        return 1;
    }
    // The signing library belongs to the process: without it the client does not start.
    std::string signingError;
    if (!loadSigningLibrary(platform::executableFolder(), signingError)) {
        const std::string text = "Kestrix客户端无法启动：" + signingError;
        std::fprintf(stderr, "%s\n", text.c_str());
        showMessage(text, BoxIcon::Error);
        return 2;
    }

    try {
        win::TfrmMain frmMain(platform::executableFolder(), instance);
        boxes->setOwner(frmMain.handle());
        frmMain.FormCreate();
        // The loading overlay is created, hidden, right after the main window; an overlay that
        // cannot be created is reported and the program runs on without it.
        try {
            frmMain.createLoadingOverlay();
        } catch (const std::exception& e) {
            showMessage(e.what(), BoxIcon::Error);
        }
        const int code = frmMain.runMessageLoop();
        boxes->setOwner(nullptr);
        return code;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Kestrix Assistant stopped: %s\n", e.what());
        showMessage(e.what(), BoxIcon::Error);
        return 3;
    }
}
