#pragma once
// BarsCanvas: the child window showing the bars. It owns the backing picture, a 24-bit
// DIB section the frame composer paints straight into, draws each frame on whatever
// thread delivers it and repaints from the picture on the window's own thread.
#include <windows.h>

#include <cstddef>

#include "band_reduction.h"
#include "frame_composer.h"
#include "scoped_win.h"

namespace bars {

class BarsCanvas {
public:
    // Makes the picture, all white; no window yet.
    BarsCanvas(int width, int height);
    BarsCanvas(const BarsCanvas&) = delete;
    BarsCanvas& operator=(const BarsCanvas&) = delete;

    // Creates the canvas window as a child of `parent` at (x, y) in its client area.
    // False when the window could not be made; the canvas then draws nothing.
    bool Create(HWND parent, int x, int y);
    HWND hwnd() const { return hwnd_; }

    // Composes the frame for these levels and copies it to the screen before it
    // returns. Safe on any thread; it never waits for the window's thread, so a
    // delivery in flight cannot deadlock with a main thread busy elsewhere.
    void DrawBars(const BandLevels& levels);

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
    void OnPaint();
    void CopyToScreen(HDC screen, const RECT& area);

    const int width_;
    const int height_;
    const RowGradients gradients_;  // read only once made: shared without a lock
    // Shared by the delivering threads (compose and blit, DrawBars) and the window's
    // thread (WM_PAINT copies it): picture_lock_ is held around both, so a repaint
    // never copies a half-drawn frame and two deliveries never interleave.
    korvane::CriticalSection picture_lock_;
    unsigned char* bits_ = nullptr;  // top row of the DIB section; null when it failed
    std::ptrdiff_t stride_ = 0;
    korvane::GdiBitmap picture_;
    korvane::MemoryDC picture_dc_;
    korvane::ScopedSelect picture_selection_;
    // Set once by Create, before any delivery is registered; destroyed with the parent
    // only after the library is released, so deliveries always find it valid.
    HWND hwnd_ = nullptr;
};

}  // namespace bars
