#include "bars_canvas.h"

#include <cstring>


namespace bars {
namespace {

using korvane::ScopedLock;
using korvane::WindowDC;

constexpr wchar_t kClassName[] = L"BarsCanvas";

// Rows of a 24-bit DIB are padded to whole 32-bit words.
constexpr std::ptrdiff_t RowStride(int width) { return (static_cast<std::ptrdiff_t>(width) * 3 + 3) & ~3; }

// A top-down 24-bit DIB section, white; its bits are written without GDI, so no
// pending GDI operation ever touches them.
HBITMAP MakePicture(int width, int height, unsigned char** bits) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* memory = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &memory, nullptr, 0);
    if (!bitmap || !memory) {
        if (bitmap) DeleteObject(bitmap);
        return nullptr;
    }
    *bits = static_cast<unsigned char*>(memory);
    std::memset(memory, 0xFF, static_cast<std::size_t>(RowStride(width)) * height);
    return bitmap;
}

bool RegisterCanvasClass(HINSTANCE instance, WNDPROC window_proc) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kClassName;  // no background brush: every paint covers the canvas
    return RegisterClassExW(&wc) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

BarsCanvas::BarsCanvas(int width, int height)
    : width_(width),
      height_(height),
      gradients_(height),
      stride_(RowStride(width)),
      picture_(MakePicture(width, height, &bits_)),
      picture_dc_(nullptr),
      picture_selection_(picture_dc_.get(), picture_.get()) {
    if (!picture_dc_.get()) bits_ = nullptr;
}

bool BarsCanvas::Create(HWND parent, int x, int y) {
    const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(parent, GWLP_HINSTANCE));
    if (!RegisterCanvasClass(instance, WindowProc)) return false;
    // No WS_TABSTOP and no focus handling: the canvas never takes the keyboard focus.
    hwnd_ = CreateWindowExW(0, kClassName, L"", WS_CHILD | WS_VISIBLE, x, y, width_, height_, parent,
                            nullptr, instance, this);
    return hwnd_ != nullptr;
}

void BarsCanvas::DrawBars(const BandLevels& levels) {
    ScopedLock lock(picture_lock_);
    if (!bits_) return;  // no picture to draw into: the screen keeps what it shows
    ComposeFrame(levels, PixelBuffer{bits_, width_, height_, stride_}, gradients_);
    if (!hwnd_) return;  // GetDC(nullptr) would draw on the desktop
    WindowDC screen(hwnd_);
    if (screen.get()) CopyToScreen(screen.get(), RECT{0, 0, width_, height_});
}

void BarsCanvas::CopyToScreen(HDC screen, const RECT& area) {
    BitBlt(screen, area.left, area.top, area.right - area.left, area.bottom - area.top, picture_dc_.get(),
           area.left, area.top, SRCCOPY);
    // GDI may batch the copy; it must be done before the picture can change again.
    GdiFlush();
}

void BarsCanvas::OnPaint() {
    PAINTSTRUCT paint;
    HDC screen = BeginPaint(hwnd_, &paint);
    if (screen) {
        ScopedLock lock(picture_lock_);
        if (bits_)
            CopyToScreen(screen, paint.rcPaint);
        else
            FillRect(screen, &paint.rcPaint, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    }
    EndPaint(hwnd_, &paint);
}

LRESULT CALLBACK BarsCanvas::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
        auto* self = static_cast<BarsCanvas*>(create->lpCreateParams);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<BarsCanvas*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self && message == WM_PAINT) {
        self->OnPaint();
        return 0;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

}  // namespace bars
