#pragma once
// TfrmPrintPrompt on Windows: the small loading window in the bottom-right corner of the work
// area, an animated picture (data\img\gif\loading.gif under the program folder) above the text
// "正在努力加载中". A borderless top-level window with no owner and no taskbar button; white is its
// colour key, so white pixels are neither drawn nor hit by clicks, and only the picture's
// coloured parts and the text show. The main window's loading counter shows it and closes it;
// closing hides it, and the animation timer runs only while it is shown, so a hidden overlay
// wakes nobody.
//
// The GIF is decoded with WIC rather than GDI+. WIC hands out each frame as it is stored, with
// its rectangle, delay and disposal method, so the frames are composed here by the GIF rules
// (keep, restore to background, restore to previous) and the result does not depend on how a
// library composes them. GDI+ only offers whole frames through SelectActiveFrame and does not
// report the disposal methods, and it needs its own start-up token for the process; WIC is plain
// COM, which the shell initialises anyway.
//
// Frames are composed once, when the overlay is created, and kept as bitmaps already stretched
// to the picture box over white (transparent GIF pixels become the white key). Delays of 0 or
// 1 hundredths of a second play as 100 ms, as browsers play them. The animation loops for as
// long as the window is shown, whatever loop count the file names: a loading picture that stops
// would look like a hang.
#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace kx::win {

class TfrmPrintPrompt {
public:
    // FormCreate: registers the window class, creates the window hidden at the top-left corner,
    // loads the picture and places the window at the bottom-right corner of the work area. When
    // the picture cannot be loaded the error's text is shown in an error box and the window
    // stays at the top-left corner without a picture. Raises std::runtime_error when the window
    // cannot be created.
    TfrmPrintPrompt(HINSTANCE instance, const std::string& programFolder);
    ~TfrmPrintPrompt();
    TfrmPrintPrompt(const TfrmPrintPrompt&) = delete;
    TfrmPrintPrompt& operator=(const TfrmPrintPrompt&) = delete;

    // FormShow: shown without taking the focus, in front of all windows, topmost, in its normal
    // state, without moving or resizing; the animation runs from the frame it stopped at.
    void show();
    // What WM_CLOSE does (it sends it): hides the window and stops the animation.
    void close();
    HWND handle() const { return hwnd_; }

    // The animation as loaded: how many frames (0 when the picture could not be loaded), the
    // frame on display, and each frame's delay in milliseconds as played.
    std::size_t frameCount() const { return frames_.size(); }
    std::size_t currentFrame() const { return current_; }
    std::vector<unsigned> frameDelays() const;

    // The window procedure of the overlay, on its thread.
    LRESULT WndProc(UINT message, WPARAM wParam, LPARAM lParam);
    // The window's first and last message (ownedWindowProcedure).
    void attachWindow(HWND window);
    void detachWindow();

private:
    struct Frame {
        HBITMAP bitmap = nullptr; // the composed frame over white, at the picture box's size
        unsigned delayMs = 100;
    };

    // Decodes and composes the GIF into frames_; raises std::runtime_error with the error's text.
    void loadPicture(const std::string& path);
    void startAnimation();
    void stopAnimation();
    void nextFrame();
    void paint(HDC dc);
    int scaled(int pixels) const;

    HWND hwnd_ = nullptr;
    UINT dpi_ = 96;
    HFONT font_ = nullptr;
    std::vector<Frame> frames_;
    std::size_t current_ = 0;
    bool animating_ = false;
};

} // namespace kx::win
