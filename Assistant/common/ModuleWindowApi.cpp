// C functions exported by the executable for module libraries running inside the process: they
// find the main window and raise or lower its loading overlay (declared in sdk/kestrix_module.h).
#include "common/WindowMessages.h"
#include "common/WindowTable.h"
#include "platform/SymbolExport.h"

#include <cstdint>
#include <string>

namespace {

bool isLoadingMessage(unsigned message)
{
    return message == kx::WM_LOADING_SHOW || message == kx::WM_LOADING_HIDE;
}

} // namespace

extern "C" {

KX_EXPORTED std::uintptr_t KxFindMainWindow(void)
{
    const std::string title = kx::kApplicationTitle;
    return kx::findWindow(kx::kMainWindowClass, &title);
}

KX_EXPORTED std::intptr_t KxSendMessage(std::uintptr_t window, unsigned message, std::uintptr_t wParam,
                                        std::intptr_t lParam)
{
    if (!isLoadingMessage(message))
        return -1;
    return kx::sendMessage(window, message, wParam, lParam);
}

KX_EXPORTED int KxPostMessage(std::uintptr_t window, unsigned message, std::uintptr_t wParam,
                              std::intptr_t lParam)
{
    if (!isLoadingMessage(message))
        return 0;
    return kx::postMessage(window, message, wParam, lParam) ? 1 : 0;
}

} // extern "C"
