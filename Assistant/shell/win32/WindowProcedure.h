#pragma once
// The window procedure of a window that belongs to an object: CreateWindowExW is given the object
// as its creation parameter, and from WM_NCCREATE on every message goes to the object's
// WndProc(message, wParam, lParam). The object learns its handle with the first message
// (attachWindow, before CreateWindowExW returns) and that it is gone with the last
// (detachWindow, on WM_NCDESTROY). No exception leaves through the system's frames: one that no
// handler caught is shown in an error box and the program goes on.
#include "common/Prompter.h"

#include <windows.h>

#include <exception>

namespace kx::win {

template <typename Owner>
LRESULT CALLBACK ownedWindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        auto* creating = static_cast<Owner*>(create->lpCreateParams);
        creating->attachWindow(hwnd);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creating));
    }
    auto* self = reinterpret_cast<Owner*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self)
        return DefWindowProcW(hwnd, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        self->detachWindow();
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    try {
        return self->WndProc(message, wParam, lParam);
    } catch (const std::exception& e) {
        showMessage(e.what(), BoxIcon::Error);
        return 0;
    }
}

} // namespace kx::win
