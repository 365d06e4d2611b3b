#pragma once
// Sizes given in pixels at 96 dots per inch, as the windows are designed, on the screen a window
// is on: its DPI where the system reports one per window (Windows 10 1607 on; looked up, not
// linked, so older systems and Wine start too), else 96.
#include <windows.h>

namespace kx::win {

UINT windowDpi(HWND window);

inline int scaledToDpi(int pixels, UINT dpi)
{
    return MulDiv(pixels, static_cast<int>(dpi), 96);
}

// Tahoma with characters `pixels` high at 96 DPI, at `dpi`; quality as CreateFontW takes it.
// The caller deletes it (DeleteObject).
HFONT tahomaFont(int pixels, UINT dpi, DWORD quality = DEFAULT_QUALITY);

} // namespace kx::win
