#include "shell/win32/WindowDpi.h"

namespace kx::win {

UINT windowDpi(HWND window)
{
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    const UINT dpi = getDpiForWindow ? getDpiForWindow(window) : 0;
    return dpi ? dpi : 96;
}

HFONT tahomaFont(int pixels, UINT dpi, DWORD quality)
{
    return CreateFontW(-scaledToDpi(pixels, dpi), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, quality, DEFAULT_PITCH | FF_DONTCARE, L"Tahoma");
}

} // namespace kx::win
