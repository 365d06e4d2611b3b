#include "shell/win32/LoadingOverlay.h"

#include "common/Paths.h"
#include "common/Prompter.h"
#include "platform/win32/WideText.h"
#include "shell/win32/WindowDpi.h"
#include "shell/win32/WindowProcedure.h"

#include <wincodec.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <stdexcept>

namespace kx::win {

namespace {

using Microsoft::WRL::ComPtr;
using platform::win32::wideFromUtf8;

constexpr const wchar_t* kWindowClass = L"TfrmPrintPrompt";
constexpr UINT_PTR kAnimationTimerId = 1;
constexpr COLORREF kKeyColour = RGB(255, 255, 255);
constexpr COLORREF kLabelColour = RGB(160, 160, 164);

// Design sizes at 96 dots per inch; scaled by the window's DPI.
constexpr int kClientWidth = 118;
constexpr int kClientHeight = 138;
constexpr RECT kPictureBox{8, 8, 8 + 100, 8 + 100};
constexpr RECT kLabelBox{8, 114, 8 + 105, 114 + 16};
constexpr int kFontPixels = 13;

// A GIF larger than this (logical screen) is refused rather than composed in memory.
constexpr std::uint64_t kMaxCanvasPixels = 4096ull * 4096ull;

// Disposal methods of the graphic control extension.
constexpr unsigned kRestoreBackground = 2;
constexpr unsigned kRestorePrevious = 3;

ATOM registerWindowClass(HINSTANCE instance, WNDPROC procedure)
{
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = procedure;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = kWindowClass;
    return RegisterClassExW(&wc);
}

// COM on this thread for as long as the picture is being decoded. A thread that already has a
// multithreaded apartment keeps it (WIC works in either), and only a successful call is balanced.
class ComApartment {
public:
    ComApartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComApartment()
    {
        if (SUCCEEDED(result_))
            CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    HRESULT result_;
};

// An unsigned metadata value (the GIF blocks store bytes and 16-bit words), or fallback when the
// reader lacks it.
unsigned metadataNumber(IWICMetadataQueryReader* reader, const wchar_t* name, unsigned fallback)
{
    if (!reader)
        return fallback;
    PROPVARIANT value;
    PropVariantInit(&value);
    if (FAILED(reader->GetMetadataByName(name, &value)))
        return fallback;
    unsigned result = fallback;
    switch (value.vt) {
    case VT_UI1:
        result = value.bVal;
        break;
    case VT_UI2:
        result = value.uiVal;
        break;
    case VT_UI4:
        result = value.ulVal;
        break;
    case VT_BOOL:
        result = value.boolVal ? 1 : 0;
        break;
    default:
        break;
    }
    PropVariantClear(&value);
    return result;
}

// The delay of a frame as played: 0 and 1 hundredths of a second are what files meant as "as fast
// as the viewer goes", which browsers play as 100 ms.
unsigned playedDelayMs(unsigned hundredths)
{
    return hundredths <= 1 ? 100 : hundredths * 10;
}

// One stored frame, as 32-bit BGRA pixels of its own rectangle; alpha 0 where the frame is
// transparent (its transparent colour index), 255 elsewhere.
struct StoredFrame {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    unsigned delayHundredths = 0;
    unsigned disposal = 0;
    std::vector<std::uint32_t> pixels;
};

StoredFrame readFrame(IWICImagingFactory* factory, IWICBitmapFrameDecode* frame)
{
    StoredFrame out;
    ComPtr<IWICMetadataQueryReader> meta;
    frame->GetMetadataQueryReader(&meta);
    UINT width = 0;
    UINT height = 0;
    if (FAILED(frame->GetSize(&width, &height)))
        throw std::runtime_error("frame size");
    out.left = static_cast<int>(metadataNumber(meta.Get(), L"/imgdesc/Left", 0));
    out.top = static_cast<int>(metadataNumber(meta.Get(), L"/imgdesc/Top", 0));
    out.width = static_cast<int>(metadataNumber(meta.Get(), L"/imgdesc/Width", width));
    out.height = static_cast<int>(metadataNumber(meta.Get(), L"/imgdesc/Height", height));
    out.delayHundredths = metadataNumber(meta.Get(), L"/grctlext/Delay", 0);
    out.disposal = metadataNumber(meta.Get(), L"/grctlext/Disposal", 0);
    // The decoded rectangle is what counts for the pixels.
    out.width = std::min(out.width, static_cast<int>(width));
    out.height = std::min(out.height, static_cast<int>(height));
    if (out.width <= 0 || out.height <= 0)
        return out;
    const bool hasTransparency = metadataNumber(meta.Get(), L"/grctlext/TransparencyFlag", 0) != 0;
    const unsigned transparentIndex = metadataNumber(meta.Get(), L"/grctlext/TransparentColorIndex", 0);

    const std::size_t count = static_cast<std::size_t>(width) * height;
    out.pixels.assign(static_cast<std::size_t>(out.width) * out.height, 0);
    WICPixelFormatGUID format{};
    frame->GetPixelFormat(&format);
    ComPtr<IWICPalette> palette;
    if (format == GUID_WICPixelFormat8bppIndexed && SUCCEEDED(factory->CreatePalette(&palette)) &&
        SUCCEEDED(frame->CopyPalette(palette.Get()))) {
        // The indices and the colour table; transparency is the graphic control extension's, so it
        // does not depend on whether a decoder also marks it in the palette's alpha.
        UINT colourCount = 0;
        palette->GetColorCount(&colourCount);
        std::vector<WICColor> colours(colourCount);
        if (colourCount)
            palette->GetColors(colourCount, colours.data(), &colourCount);
        std::vector<BYTE> indices(count);
        if (FAILED(frame->CopyPixels(nullptr, width, static_cast<UINT>(count), indices.data())))
            throw std::runtime_error("frame pixels");
        for (int y = 0; y < out.height; ++y)
            for (int x = 0; x < out.width; ++x) {
                const unsigned index = indices[static_cast<std::size_t>(y) * width + x];
                std::uint32_t pixel = 0;
                if (!(hasTransparency && index == transparentIndex))
                    pixel = index < colourCount ? (colours[index] | 0xFF000000u) : 0xFF000000u;
                out.pixels[static_cast<std::size_t>(y) * out.width + x] = pixel;
            }
        return out;
    }
    // Any other pixel format: the converter's 32-bit BGRA, alpha as it gives it.
    ComPtr<IWICBitmapSource> converted;
    if (FAILED(WICConvertBitmapSource(GUID_WICPixelFormat32bppBGRA, frame, &converted)))
        throw std::runtime_error("frame format");
    std::vector<std::uint32_t> all(count);
    if (FAILED(converted->CopyPixels(nullptr, width * 4, static_cast<UINT>(count * 4),
                                     reinterpret_cast<BYTE*>(all.data()))))
        throw std::runtime_error("frame pixels");
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) {
            const std::uint32_t pixel = all[static_cast<std::size_t>(y) * width + x];
            out.pixels[static_cast<std::size_t>(y) * out.width + x] = (pixel >> 24) >= 128 ? (pixel | 0xFF000000u) : 0;
        }
    return out;
}

// A stretched copy of the canvas over white, at the picture box's size. Nearest-neighbour
// stretching keeps every pixel one of the picture's own colours: blending edges with the white
// behind would leave pale pixels that are not the colour key and show as a halo.
HBITMAP renderCanvas(const std::vector<std::uint32_t>& canvas, int width, int height, int boxWidth, int boxHeight)
{
    std::vector<std::uint32_t> opaque(canvas.size());
    for (std::size_t i = 0; i < canvas.size(); ++i)
        opaque[i] = (canvas[i] >> 24) ? (canvas[i] & 0x00FFFFFFu) : 0x00FFFFFFu;

    BITMAPINFO source{};
    source.bmiHeader.biSize = sizeof source.bmiHeader;
    source.bmiHeader.biWidth = width;
    source.bmiHeader.biHeight = -height; // top-down
    source.bmiHeader.biPlanes = 1;
    source.bmiHeader.biBitCount = 32;
    source.bmiHeader.biCompression = BI_RGB;
    BITMAPINFO target = source;
    target.bmiHeader.biWidth = boxWidth;
    target.bmiHeader.biHeight = -boxHeight;

    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &target, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap)
        throw std::runtime_error("out of bitmap memory");
    HDC dc = CreateCompatibleDC(nullptr);
    const HGDIOBJ old = SelectObject(dc, bitmap);
    SetStretchBltMode(dc, COLORONCOLOR);
    StretchDIBits(dc, 0, 0, boxWidth, boxHeight, 0, 0, width, height, opaque.data(), &source, DIB_RGB_COLORS,
                  SRCCOPY);
    SelectObject(dc, old);
    DeleteDC(dc);
    return bitmap;
}

} // namespace

TfrmPrintPrompt::TfrmPrintPrompt(HINSTANCE instance, const std::string& programFolder)
{
    if (!registerWindowClass(instance, &ownedWindowProcedure<TfrmPrintPrompt>) &&
        GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        throw std::runtime_error("cannot register the loading window class (error " + std::to_string(GetLastError()) +
                                 ")");
    // No border, no owner: a top-level window of its own. A tool window gets no taskbar button
    // and stays out of the task switcher; layered with white as the colour key, white pixels are
    // see-through and clicks on them reach the window below. Created hidden at the design place,
    // the top-left corner of the screen.
    const std::wstring caption = wideFromUtf8("打印提示");
    hwnd_ = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_LAYERED, kWindowClass, caption.c_str(), WS_POPUP, 0, 0,
                            kClientWidth, kClientHeight, nullptr, nullptr, instance, this);
    if (!hwnd_)
        throw std::runtime_error("cannot create the loading window (error " + std::to_string(GetLastError()) + ")");
    SetLayeredWindowAttributes(hwnd_, kKeyColour, 0, LWA_COLORKEY);
    dpi_ = windowDpi(hwnd_);
    SetWindowPos(hwnd_, nullptr, 0, 0, scaled(kClientWidth), scaled(kClientHeight),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    // Without smoothing: grey pixels blended towards white at the glyphs' edges would be neither
    // the text's colour nor the key and show as a pale fringe on a dark background.
    font_ = tahomaFont(kFontPixels, dpi_, NONANTIALIASED_QUALITY);

    // FormCreate: the picture, then the place. Without a picture the window keeps its design place.
    const std::string path = programPath(programFolder, "data\\img\\gif\\loading.gif");
    try {
        loadPicture(path);
    } catch (const std::exception& e) {
        showMessage(e.what(), BoxIcon::Error);
        return;
    }
    // Bottom-right corner, computed from the work area's size (not its position).
    RECT area{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    RECT frame{};
    GetWindowRect(hwnd_, &frame);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    SetWindowPos(hwnd_, nullptr, (area.right - area.left) - width, (area.bottom - area.top) - height, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

TfrmPrintPrompt::~TfrmPrintPrompt()
{
    if (hwnd_)
        DestroyWindow(hwnd_); // its timer goes with it
    for (Frame& frame : frames_)
        DeleteObject(frame.bitmap);
    if (font_)
        DeleteObject(font_);
}

void TfrmPrintPrompt::show()
{
    // Not activated: the overlay must not take the keyboard from the window the user works in.
    ShowWindow(hwnd_, SW_SHOWNOACTIVATE);
    SetWindowPos(hwnd_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
}

void TfrmPrintPrompt::close()
{
    SendMessageW(hwnd_, WM_CLOSE, 0, 0);
}

std::vector<unsigned> TfrmPrintPrompt::frameDelays() const
{
    std::vector<unsigned> delays;
    for (const Frame& frame : frames_)
        delays.push_back(frame.delayMs);
    return delays;
}

int TfrmPrintPrompt::scaled(int pixels) const
{
    return scaledToDpi(pixels, dpi_);
}

void TfrmPrintPrompt::loadPicture(const std::string& path)
{
    const std::wstring widePath = wideFromUtf8(path);
    const std::string quoted = "\"" + path + "\"";
    const ComApartment apartment;
    ComPtr<IWICImagingFactory> factory;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory));
    if (FAILED(hr))
        throw std::runtime_error(quoted + " cannot be decoded: the imaging component is missing (" +
                                 platform::win32::systemErrorText(static_cast<unsigned long>(hr)) + ")");
    ComPtr<IWICStream> stream;
    if (FAILED(factory->CreateStream(&stream)) ||
        FAILED(stream->InitializeFromFilename(widePath.c_str(), GENERIC_READ)))
        throw std::runtime_error(quoted + " cannot be opened");
    // The GIF decoder itself, not whichever decoder the content suggests: another format is an error.
    ComPtr<IWICBitmapDecoder> decoder;
    UINT frameCount = 0;
    if (FAILED(factory->CreateDecoder(GUID_ContainerFormatGif, nullptr, &decoder)) ||
        FAILED(decoder->Initialize(stream.Get(), WICDecodeMetadataCacheOnLoad)) ||
        FAILED(decoder->GetFrameCount(&frameCount)) || frameCount == 0)
        throw std::runtime_error(quoted + " is not a GIF picture");

    std::vector<StoredFrame> stored;
    for (UINT i = 0; i < frameCount; ++i) {
        ComPtr<IWICBitmapFrameDecode> frame;
        try {
            if (FAILED(decoder->GetFrame(i, &frame)))
                throw std::runtime_error("frame");
            stored.push_back(readFrame(factory.Get(), frame.Get()));
        } catch (const std::runtime_error&) {
            // A damaged frame ends the animation; without any frame there is no picture.
            if (stored.empty())
                throw std::runtime_error(quoted + " is not a GIF picture");
            break;
        }
    }

    // The logical screen; a file that does not say gets the extent of its frames.
    ComPtr<IWICMetadataQueryReader> screen;
    decoder->GetMetadataQueryReader(&screen);
    int width = static_cast<int>(metadataNumber(screen.Get(), L"/logscrdesc/Width", 0));
    int height = static_cast<int>(metadataNumber(screen.Get(), L"/logscrdesc/Height", 0));
    if (width <= 0 || height <= 0) {
        for (const StoredFrame& f : stored) {
            width = std::max(width, f.left + f.width);
            height = std::max(height, f.top + f.height);
        }
    }
    if (width <= 0 || height <= 0 || static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > kMaxCanvasPixels)
        throw std::runtime_error(quoted + " is not a GIF picture of a usable size");

    // Composition: each frame is drawn over what the previous frames left; afterwards its
    // disposal method says what the next frame starts from: the canvas as it is (none, keep),
    // the frame's rectangle cleared to transparent (restore to background, as browsers do), or
    // the canvas as it was before the frame (restore to previous).
    const int boxWidth = scaled(kPictureBox.right - kPictureBox.left);
    const int boxHeight = scaled(kPictureBox.bottom - kPictureBox.top);
    std::vector<std::uint32_t> canvas(static_cast<std::size_t>(width) * height, 0);
    std::vector<std::uint32_t> saved;
    std::vector<Frame> frames;
    try {
        for (const StoredFrame& f : stored) {
            if (f.disposal == kRestorePrevious)
                saved = canvas;
            const int x0 = std::max(f.left, 0);
            const int y0 = std::max(f.top, 0);
            const int x1 = std::min(f.left + f.width, width);
            const int y1 = std::min(f.top + f.height, height);
            for (int y = y0; y < y1; ++y)
                for (int x = x0; x < x1; ++x) {
                    const std::uint32_t pixel =
                        f.pixels[static_cast<std::size_t>(y - f.top) * f.width + (x - f.left)];
                    if (pixel >> 24)
                        canvas[static_cast<std::size_t>(y) * width + x] = pixel;
                }
            frames.push_back({renderCanvas(canvas, width, height, boxWidth, boxHeight),
                              playedDelayMs(f.delayHundredths)});
            if (f.disposal == kRestoreBackground) {
                for (int y = y0; y < y1; ++y)
                    for (int x = x0; x < x1; ++x)
                        canvas[static_cast<std::size_t>(y) * width + x] = 0;
            } else if (f.disposal == kRestorePrevious) {
                canvas.swap(saved);
            }
        }
    } catch (...) {
        for (Frame& frame : frames)
            DeleteObject(frame.bitmap);
        throw;
    }
    frames_ = std::move(frames);
    current_ = 0;
}

void TfrmPrintPrompt::startAnimation()
{
    if (animating_ || frames_.size() < 2)
        return;
    animating_ = true;
    SetTimer(hwnd_, kAnimationTimerId, frames_[current_].delayMs, nullptr);
}

void TfrmPrintPrompt::stopAnimation()
{
    if (!animating_)
        return;
    animating_ = false;
    KillTimer(hwnd_, kAnimationTimerId);
}

void TfrmPrintPrompt::nextFrame()
{
    current_ = (current_ + 1) % frames_.size();
    const RECT box{scaled(kPictureBox.left), scaled(kPictureBox.top), scaled(kPictureBox.right),
                   scaled(kPictureBox.bottom)};
    InvalidateRect(hwnd_, &box, FALSE);
    // The same timer again, now with the new frame's delay.
    SetTimer(hwnd_, kAnimationTimerId, frames_[current_].delayMs, nullptr);
}

void TfrmPrintPrompt::paint(HDC dc)
{
    RECT client{};
    GetClientRect(hwnd_, &client);
    // Drawn off screen first, so that a frame change never shows a half-drawn picture.
    HDC buffer = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, client.right, client.bottom);
    const HGDIOBJ oldBitmap = SelectObject(buffer, bitmap);
    FillRect(buffer, &client, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    if (!frames_.empty()) {
        HDC picture = CreateCompatibleDC(dc);
        const HGDIOBJ oldPicture = SelectObject(picture, frames_[current_].bitmap);
        BitBlt(buffer, scaled(kPictureBox.left), scaled(kPictureBox.top), scaled(kPictureBox.right - kPictureBox.left),
               scaled(kPictureBox.bottom - kPictureBox.top), picture, 0, 0, SRCCOPY);
        SelectObject(picture, oldPicture);
        DeleteDC(picture);
    }
    const HGDIOBJ oldFont = SelectObject(buffer, font_);
    SetBkMode(buffer, TRANSPARENT);
    SetTextColor(buffer, kLabelColour);
    RECT label{scaled(kLabelBox.left), scaled(kLabelBox.top), scaled(kLabelBox.right), scaled(kLabelBox.bottom)};
    const std::wstring text = wideFromUtf8("正在努力加载中");
    DrawTextW(buffer, text.c_str(), static_cast<int>(text.size()), &label, DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(buffer, oldFont);
    BitBlt(dc, 0, 0, client.right, client.bottom, buffer, 0, 0, SRCCOPY);
    SelectObject(buffer, oldBitmap);
    DeleteObject(bitmap);
    DeleteDC(buffer);
}

void TfrmPrintPrompt::attachWindow(HWND window)
{
    hwnd_ = window;
}

void TfrmPrintPrompt::detachWindow()
{
    hwnd_ = nullptr;
    animating_ = false;
}

LRESULT TfrmPrintPrompt::WndProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE:
        // Closing hides; the window is kept for the next time.
        ShowWindow(hwnd_, SW_HIDE);
        return 0;
    case WM_WINDOWPOSCHANGED:
        // Whatever shows or hides the window, the animation follows: it runs only while shown.
        if (IsWindowVisible(hwnd_))
            startAnimation();
        else
            stopAnimation();
        break;
    case WM_TIMER:
        if (wParam == kAnimationTimerId) {
            if (animating_)
                nextFrame();
            else
                KillTimer(hwnd_, kAnimationTimerId);
            return 0;
        }
        break;
    case WM_MOUSEACTIVATE:
        return MA_NOACTIVATE;
    case WM_ERASEBKGND:
        return 1; // WM_PAINT fills every pixel
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd_, &ps);
        paint(dc);
        EndPaint(hwnd_, &ps);
        return 0;
    }
    case WM_PRINTCLIENT:
        paint(reinterpret_cast<HDC>(wParam));
        return 0;
    default:
        break;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

} // namespace kx::win
