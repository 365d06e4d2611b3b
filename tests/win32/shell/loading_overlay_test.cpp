// The loading overlay as the user meets it: a tool window in the bottom-right corner of the work
// area, topmost, see-through where it is white, animating while shown and idle while hidden, and
// an error box when its picture cannot be loaded. The GIFs are written here from bytes, small
// enough to know every pixel of every frame.
//
// Two ways to see the window's pixels: the screen (BitBlt from the screen with CAPTUREBLT, which
// includes layered windows), which shows what the user sees, window below included where the
// overlay is white; and PrintWindow, which shows what the overlay draws, frame by frame, without
// waiting for the screen. Under Wine the screen shows the colour key as Windows does, but the
// system's hit test (WindowFromPoint, SendInput) still finds the overlay on its white pixels; only
// real X clicks pass through there, so the click-through check runs on Windows only.
#include "shell/win32/LoadingOverlay.h"

#include "Win32TestFolder.h"
#include "common/Prompter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using kx::win::TfrmPrintPrompt;

// ---- GIF writing ----------------------------------------------------------------------------

// The colour table every test GIF uses. Index 7 is each frame's transparent index; its colour
// is magenta, so a decoder that ignored the transparency would show it.
enum Ix : std::uint8_t { White, Red, Green, Blue, Yellow, Black, Grey, Clear };
const COLORREF kTable[8] = {RGB(255, 255, 255), RGB(255, 0, 0), RGB(0, 255, 0),   RGB(0, 0, 255),
                            RGB(255, 255, 0),   RGB(0, 0, 0),   RGB(128, 128, 128), RGB(255, 0, 255)};

struct GifFrame {
    int left, top, width, height;
    int delay;    // hundredths of a second
    int disposal; // 1 keep, 2 restore to background, 3 restore to previous
    std::vector<std::uint8_t> pixels;
};

std::string makeGif(int width, int height, const std::vector<GifFrame>& frames)
{
    std::string g = "GIF89a";
    auto word = [&g](int v) {
        g += static_cast<char>(v & 0xFF);
        g += static_cast<char>((v >> 8) & 0xFF);
    };
    word(width);
    word(height);
    g += static_cast<char>(0xF2); // global table of 8 colours
    g += '\0';                    // background index
    g += '\0';                    // aspect
    for (COLORREF c : kTable) {
        g += static_cast<char>(GetRValue(c));
        g += static_cast<char>(GetGValue(c));
        g += static_cast<char>(GetBValue(c));
    }
    g += std::string("\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00", 19); // loop for ever
    for (const GifFrame& f : frames) {
        g += "\x21\xF9\x04";
        g += static_cast<char>((f.disposal << 2) | 1); // transparency on
        word(f.delay);
        g += static_cast<char>(Clear);
        g += '\0';
        g += '\x2C';
        word(f.left);
        word(f.top);
        word(f.width);
        word(f.height);
        g += '\0';
        // LZW with 3-bit colours: a clear code (8) before every pixel keeps every code 4 bits
        // wide; 9 ends the data.
        const int minimumCodeSize = 3;
        g += static_cast<char>(minimumCodeSize);
        std::vector<int> codes;
        for (std::uint8_t p : f.pixels) {
            codes.push_back(8);
            codes.push_back(p);
        }
        codes.push_back(9);
        std::string data;
        unsigned bits = 0;
        int count = 0;
        for (int c : codes) {
            bits |= static_cast<unsigned>(c) << count;
            count += 4;
            while (count >= 8) {
                data += static_cast<char>(bits & 0xFF);
                bits >>= 8;
                count -= 8;
            }
        }
        if (count)
            data += static_cast<char>(bits & 0xFF);
        for (std::size_t at = 0; at < data.size(); at += 255) {
            const std::string block = data.substr(at, 255);
            g += static_cast<char>(block.size());
            g += block;
        }
        g += '\0';
    }
    g += '\x3B';
    return g;
}

// Two frames over a 2 x 2 screen: the top-left cell red, then blue; the other cells transparent.
std::string redBlueGif()
{
    return makeGif(2, 2, {{0, 0, 2, 2, 10, 1, {Red, Clear, Clear, Clear}},
                          {0, 0, 2, 2, 10, 1, {Blue, Clear, Clear, Clear}}});
}

// ---- Looking at the window ------------------------------------------------------------------

struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels; // 0x00RRGGBB
    COLORREF at(int x, int y) const
    {
        const std::uint32_t p = pixels[static_cast<std::size_t>(y) * width + x];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
};

// Draws into a 32-bit bitmap of the given size with `draw` and reads it back.
Image capture(int width, int height, const std::function<void(HDC)>& draw)
{
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC dc = CreateCompatibleDC(nullptr);
    const HGDIOBJ old = SelectObject(dc, bitmap);
    draw(dc);
    GdiFlush();
    Image image{width, height, {}};
    const auto* p = static_cast<const std::uint32_t*>(bits);
    image.pixels.assign(p, p + static_cast<std::size_t>(width) * height);
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(bitmap);
    return image;
}

// What the screen shows in the window's rectangle.
Image onScreen(HWND window)
{
    RECT r{};
    GetWindowRect(window, &r);
    return capture(r.right - r.left, r.bottom - r.top, [&r](HDC dc) {
        HDC screen = GetDC(nullptr);
        BitBlt(dc, 0, 0, r.right - r.left, r.bottom - r.top, screen, r.left, r.top, SRCCOPY | CAPTUREBLT);
        ReleaseDC(nullptr, screen);
    });
}

// What the window draws, as it is now.
Image drawn(HWND window)
{
    RECT r{};
    GetClientRect(window, &r);
    return capture(r.right, r.bottom, [window](HDC dc) { PrintWindow(window, dc, 0); });
}

// Delivers this thread's messages until done() holds, at most `limitMs`; gives done(). Checked
// after every message, so a condition on the frame on display sees each frame.
bool pumpUntil(const std::function<bool()>& done, DWORD limitMs = 5000)
{
    const ULONGLONG end = GetTickCount64() + limitMs;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            if (done())
                return true;
        }
        if (done())
            return true;
        if (GetTickCount64() >= end)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}

// A timer of the window would have fired within this wait (the test GIFs' delays are 100 ms).
bool timerFiresWithin350ms(HWND window)
{
    Sleep(350);
    MSG msg;
    return PeekMessageW(&msg, window, WM_TIMER, WM_TIMER, PM_NOREMOVE) != FALSE;
}

bool underWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// Centre of the picture's cell (col, row) of a 2 x 2 GIF stretched into the box at 8,8,100,100
// (client coordinates at 96 DPI).
POINT cell(int col, int row)
{
    return {8 + 25 + 50 * col, 8 + 25 + 50 * row};
}

// A plain green window below the overlay: what the overlay's white pixels let through.
class Backdrop {
public:
    explicit Backdrop(const RECT& r)
    {
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hbrBackground = CreateSolidBrush(RGB(0, 128, 0));
        wc.lpszClassName = L"KxOverlayBackdrop";
        RegisterClassW(&wc);
        hwnd_ = CreateWindowExW(0, wc.lpszClassName, L"backdrop", WS_POPUP, r.left - 20, r.top - 20,
                                r.right - r.left + 40, r.bottom - r.top + 40, nullptr, nullptr, wc.hInstance, nullptr);
        // Shown, activated and brought to the front: it is the newest non-topmost window.
        ShowWindow(hwnd_, SW_SHOW);
        SetWindowPos(hwnd_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        UpdateWindow(hwnd_);
    }
    ~Backdrop() { DestroyWindow(hwnd_); }
    HWND handle() const { return hwnd_; }

private:
    HWND hwnd_ = nullptr;
};

class FakePrompter : public kx::Prompter {
public:
    int messageBox(const kx::MessageBoxRequest& request) override
    {
        requests.push_back(request);
        return kx::kAnswerOk;
    }
    std::vector<kx::MessageBoxRequest> requests;
};

class LoadingOverlayTest : public ::testing::Test {
protected:
    void SetUp() override { previous_ = kx::setPrompter(prompts); }
    void TearDown() override { kx::setPrompter(previous_); }

    std::filesystem::path gifPath() const { return folder.path() / L"data\\img\\gif\\loading.gif"; }
    void writeGif(const std::string& bytes)
    {
        std::filesystem::create_directories(folder.path() / L"data\\img\\gif");
        std::ofstream(gifPath(), std::ios::binary) << bytes;
    }
    std::unique_ptr<TfrmPrintPrompt> overlay()
    {
        return std::make_unique<TfrmPrintPrompt>(GetModuleHandleW(nullptr), folder.utf8());
    }

    kx::test::Win32TestFolder folder; // "...\程序文件\Kestrix 客户端助手"
    std::shared_ptr<FakePrompter> prompts = std::make_shared<FakePrompter>();

private:
    std::shared_ptr<kx::Prompter> previous_;
};

RECT workArea()
{
    RECT area{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    return area;
}

// ---- Tests ----------------------------------------------------------------------------------

TEST_F(LoadingOverlayTest, ShownOverlayIsATopmostToolWindowInTheBottomRightCornerWithWhiteSeeThrough)
{
    writeGif(redBlueGif());
    auto o = overlay();
    const HWND w = o->handle();
    EXPECT_FALSE(IsWindowVisible(w)); // created hidden
    EXPECT_EQ(o->frameCount(), 2u);

    RECT r{};
    GetWindowRect(w, &r);
    Backdrop below(r);
    o->show();

    EXPECT_EQ(FindWindowW(L"TfrmPrintPrompt", L"打印提示"), w);
    EXPECT_TRUE(IsWindowVisible(w));
    EXPECT_EQ(GetWindow(w, GW_OWNER), nullptr);
    EXPECT_NE(GetActiveWindow(), w); // shown without taking the focus
    const LONG_PTR style = GetWindowLongPtrW(w, GWL_STYLE);
    const LONG_PTR exStyle = GetWindowLongPtrW(w, GWL_EXSTYLE);
    EXPECT_TRUE(style & WS_POPUP);
    EXPECT_FALSE(style & (WS_CAPTION | WS_THICKFRAME | WS_BORDER));
    EXPECT_TRUE(exStyle & WS_EX_TOOLWINDOW);
    EXPECT_TRUE(exStyle & WS_EX_TOPMOST);
    EXPECT_FALSE(exStyle & WS_EX_APPWINDOW);
    COLORREF key = 0;
    DWORD flags = 0;
    ASSERT_TRUE(GetLayeredWindowAttributes(w, &key, nullptr, &flags));
    EXPECT_TRUE(flags & LWA_COLORKEY);
    EXPECT_EQ(key, RGB(255, 255, 255));

    // Client 118 x 138 with no frame around it, its corner where the work area's size puts it.
    RECT client{};
    GetClientRect(w, &client);
    EXPECT_EQ(client.right, 118);
    EXPECT_EQ(client.bottom, 138);
    GetWindowRect(w, &r);
    const RECT area = workArea();
    EXPECT_EQ(r.left, (area.right - area.left) - 118);
    EXPECT_EQ(r.top, (area.bottom - area.top) - 138);
    EXPECT_EQ(r.right - r.left, 118);
    EXPECT_EQ(r.bottom - r.top, 138);

    // On the screen: the picture's red cell, and the backdrop's green through the transparent
    // cells and the white margin. The green window is newer and was brought to the front, yet
    // the topmost overlay stays above it.
    const POINT red = cell(0, 0);
    const POINT transparent = cell(1, 1);
    Image screen;
    const bool shows = pumpUntil([&] {
        screen = onScreen(w);
        return screen.at(red.x, red.y) == RGB(255, 0, 0) || screen.at(red.x, red.y) == RGB(0, 0, 255);
    });
    ASSERT_TRUE(shows) << "picture cell shows " << std::hex << screen.at(red.x, red.y);
    EXPECT_EQ(screen.at(transparent.x, transparent.y), RGB(0, 128, 0));
    EXPECT_EQ(screen.at(2, 2), RGB(0, 128, 0));
    EXPECT_EQ(screen.at(113, 60), RGB(0, 128, 0));
    int textPixels = 0;
    for (int y = 114; y < 130; ++y)
        for (int x = 8; x < 113; ++x)
            textPixels += screen.at(x, y) == RGB(160, 160, 164);
    EXPECT_GT(textPixels, 20) << "the label's grey text";

    EXPECT_EQ(WindowFromPoint({r.left + red.x, r.top + red.y}), w);
    if (!underWine()) { // Wine's hit test ignores the colour key (real X clicks do pass through)
        EXPECT_EQ(WindowFromPoint({r.left + transparent.x, r.top + transparent.y}), below.handle());
    }

    o.reset();
    EXPECT_FALSE(IsWindow(w));
    EXPECT_TRUE(prompts->requests.empty());
}

TEST_F(LoadingOverlayTest, AnimatesOnScreenOnlyWhileShown)
{
    writeGif(redBlueGif());
    auto o = overlay();
    const HWND w = o->handle();
    const POINT p = cell(0, 0);

    // Hidden from creation on: no timer, the first frame stays.
    EXPECT_FALSE(timerFiresWithin350ms(w));
    EXPECT_EQ(o->currentFrame(), 0u);

    // Shown, the screen shows both frames in turn.
    o->show();
    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(pumpUntil([&] { return onScreen(w).at(p.x, p.y) == RGB(255, 0, 0); })) << "red frame, round " << round;
        EXPECT_TRUE(pumpUntil([&] { return onScreen(w).at(p.x, p.y) == RGB(0, 0, 255); })) << "blue frame, round " << round;
    }

    // Closing hides and stops the animation where it was.
    o->close();
    EXPECT_FALSE(IsWindowVisible(w));
    EXPECT_TRUE(IsWindow(w));
    const std::size_t stopped = o->currentFrame();
    EXPECT_FALSE(timerFiresWithin350ms(w));
    pumpUntil([] { return false; }, 300);
    EXPECT_EQ(o->currentFrame(), stopped);

    // Shown again, it moves again.
    o->show();
    EXPECT_TRUE(IsWindowVisible(w));
    EXPECT_TRUE(pumpUntil([&] { return o->currentFrame() != stopped; }));

    // WM_CLOSE itself, as the loading counter sends it, does the same.
    SendMessageW(w, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindowVisible(w));
    EXPECT_TRUE(IsWindow(w));
    EXPECT_FALSE(timerFiresWithin350ms(w));
    EXPECT_TRUE(prompts->requests.empty());
}

TEST_F(LoadingOverlayTest, FramesAreComposedByTheirDisposalMethods)
{
    // Frame 0 fills the screen except its transparent bottom-right cell and is kept; frame 1
    // paints that cell yellow and is undone afterwards (restore to previous); frame 2 paints the
    // top-left cell black and is cleared afterwards (restore to background); frame 3 is a
    // transparent pixel over the top-right cell, which must leave green showing.
    writeGif(makeGif(2, 2, {{0, 0, 2, 2, 10, 1, {Red, Green, Blue, Clear}},
                            {1, 1, 1, 1, 10, 3, {Yellow}},
                            {0, 0, 1, 1, 10, 2, {Black}},
                            {1, 0, 1, 1, 10, 1, {Clear}}}));
    const COLORREF R = RGB(255, 0, 0), G = RGB(0, 255, 0), B = RGB(0, 0, 255), Y = RGB(255, 255, 0),
                   K = RGB(0, 0, 0), W = RGB(255, 255, 255);
    // Cells top-left, top-right, bottom-left, bottom-right; white is the see-through key.
    const COLORREF expected[4][4] = {{R, G, B, W}, {R, G, B, Y}, {K, G, B, W}, {W, G, B, W}};

    auto o = overlay();
    ASSERT_EQ(o->frameCount(), 4u);
    o->show();
    for (std::size_t frame : {0u, 1u, 2u, 3u, 0u}) {
        ASSERT_TRUE(pumpUntil([&] { return o->currentFrame() == frame; })) << "frame " << frame;
        const Image image = drawn(o->handle());
        for (int c = 0; c < 4; ++c) {
            const POINT p = cell(c % 2, c / 2);
            EXPECT_EQ(image.at(p.x, p.y), expected[frame][c]) << "frame " << frame << ", cell " << c;
        }
    }
}

TEST_F(LoadingOverlayTest, FramesPlayWithTheirStoredDelaysAndTheShortestAsBrowsersDo)
{
    const std::vector<std::pair<int, unsigned>> delays = {{0, 100}, {1, 100}, {2, 20}, {7, 70}, {150, 1500}};
    std::vector<GifFrame> frames;
    std::vector<unsigned> played;
    for (const auto& [stored, ms] : delays) {
        frames.push_back({0, 0, 1, 1, stored, 1, {Red}});
        played.push_back(ms);
    }
    writeGif(makeGif(1, 1, frames));
    EXPECT_EQ(overlay()->frameDelays(), played);
}

TEST_F(LoadingOverlayTest, PictureThatCannotBeLoadedIsReportedEachTimeAndTheWindowStaysTopLeft)
{
    const std::string path = folder.utf8(L"data\\img\\gif\\loading.gif");
    struct Case {
        const char* name;
        std::optional<std::string> bytes; // none: no file
        std::string text;
    };
    const Case cases[] = {
        {"missing", std::nullopt, "\"" + path + "\" cannot be opened"},
        {"a PNG", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), "\"" + path + "\" is not a GIF picture"},
        {"a GIF header only", "GIF89a", "\"" + path + "\" is not a GIF picture"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(gifPath());
        if (c.bytes)
            writeGif(*c.bytes);
        prompts->requests.clear();
        for (int created = 1; created <= 2; ++created) {
            auto o = overlay();
            ASSERT_EQ(prompts->requests.size(), static_cast<std::size_t>(created));
            EXPECT_EQ(prompts->requests.back().text, c.text);
            EXPECT_EQ(prompts->requests.back().icon, kx::BoxIcon::Error);
            EXPECT_EQ(o->frameCount(), 0u);
            RECT r{};
            GetWindowRect(o->handle(), &r);
            EXPECT_EQ(r.left, 0);
            EXPECT_EQ(r.top, 0);
            EXPECT_EQ(r.right, 118);
            EXPECT_EQ(r.bottom, 138);
            // It still shows (the text without a picture) and still hides.
            o->show();
            EXPECT_TRUE(IsWindowVisible(o->handle()));
            EXPECT_EQ(drawn(o->handle()).at(cell(0, 0).x, cell(0, 0).y), RGB(255, 255, 255));
            o->close();
            EXPECT_FALSE(IsWindowVisible(o->handle()));
        }
    }
}

// The placement uses the work area's size, not its position: with the taskbar on the left or at
// the top, the overlay ends that far short of the screen's right or bottom edge.
TEST_F(LoadingOverlayTest, PlacementUsesTheWorkAreaSizeNotItsPosition)
{
    writeGif(redBlueGif());
    const RECT original = workArea();
    const int screenW = GetSystemMetrics(SM_CXSCREEN);
    const int screenH = GetSystemMetrics(SM_CYSCREEN);
    struct Case {
        const char* taskbar;
        RECT area;
    };
    const Case cases[] = {
        {"left, 100 wide", {100, 0, screenW, screenH}},
        {"top, 50 high", {0, 50, screenW, screenH}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.taskbar);
        RECT area = c.area;
        const bool set = SystemParametersInfoW(SPI_SETWORKAREA, 0, &area, 0);
        const RECT now = workArea();
        if (!set || !EqualRect(&now, &c.area)) {
            SystemParametersInfoW(SPI_SETWORKAREA, 0, const_cast<RECT*>(&original), 0);
            GTEST_SKIP() << "the work area cannot be set here";
        }
        auto o = overlay();
        RECT r{};
        GetWindowRect(o->handle(), &r);
        EXPECT_EQ(r.right, (c.area.right - c.area.left));
        EXPECT_EQ(r.bottom, (c.area.bottom - c.area.top));
        EXPECT_EQ(r.right - r.left, 118);
        EXPECT_EQ(r.bottom - r.top, 138);
    }
    SystemParametersInfoW(SPI_SETWORKAREA, 0, const_cast<RECT*>(&original), 0);
    const RECT restored = workArea();
    EXPECT_TRUE(EqualRect(&original, &restored));
}

} // namespace
