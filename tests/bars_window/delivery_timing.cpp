// Measures one delivery's drawing (compose the frame, blit it to the canvas window) as
// DrawBars does it, beside a bare blit of the same picture, and the composer beside a
// memcpy of one frame. Medians over 10,000 runs; run by hand, not a test.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bars_canvas.h"
#include "frame_composer.h"

namespace {

constexpr int kRuns = 10000;
constexpr int kWidth = 180, kHeight = 64;

double Now() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

template <typename Run>
double MedianMicroseconds(Run run) {
    std::vector<double> times(kRuns);
    for (int i = 0; i < kRuns; ++i) {
        const double start = Now();
        run(i);
        times[i] = Now() - start;
    }
    std::nth_element(times.begin(), times.begin() + kRuns / 2, times.end());
    return times[kRuns / 2];
}

bars::BandLevels LevelsFor(int i) {
    bars::BandLevels levels;
    for (int b = 0; b < bars::kBandCount; ++b) levels.level[b] = static_cast<float>((i * 7 + b * 13) % 101);
    return levels;
}

}  // namespace

int wmain() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = instance;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_3DFACE + 1);
    wc.lpszClassName = L"TimingWindow";
    RegisterClassExW(&wc);
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"timing", WS_POPUP | WS_VISIBLE, 100, 100, 200, 100, nullptr,
                                  nullptr, instance, nullptr);
    bars::BarsCanvas canvas(kWidth, kHeight);
    if (!window || !canvas.Create(window, 10, 28)) return 1;
    UpdateWindow(window);

    const double draw = MedianMicroseconds([&](int i) { canvas.DrawBars(LevelsFor(i)); });

    // The bare blit: the same picture format, the same window, the same DC calls.
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof info.bmiHeader, kWidth, -kHeight, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC memory = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(memory, dib);
    const double blit = MedianMicroseconds([&](int) {
        HDC screen = GetDC(canvas.hwnd());
        BitBlt(screen, 0, 0, kWidth, kHeight, memory, 0, 0, SRCCOPY);
        GdiFlush();
        ReleaseDC(canvas.hwnd(), screen);
    });

    const int stride = (kWidth * 3 + 3) & ~3;
    std::vector<unsigned char> frame(static_cast<size_t>(stride) * kHeight), copy(frame.size());
    const bars::RowGradients gradients(kHeight);
    const double compose = MedianMicroseconds([&](int i) {
        bars::ComposeFrame(LevelsFor(i), bars::PixelBuffer{frame.data(), kWidth, kHeight, stride}, gradients);
    });
    const double memcpy_frame = MedianMicroseconds([&](int i) {
        frame[i % frame.size()] ^= 1;  // keep the copy from being folded away
        std::memcpy(copy.data(), frame.data(), frame.size());
    });

    std::printf("median over %d runs, microseconds\n", kRuns);
    std::printf("delivery drawing (compose + blit): %8.1f\n", draw);
    std::printf("bare blit of the same picture:     %8.1f\n", blit);
    std::printf("compose one frame:                 %8.1f\n", compose);
    std::printf("memcpy of one frame:               %8.1f  (compose / memcpy = %.2f)\n", memcpy_frame,
                compose / memcpy_frame);
    SelectObject(memory, old);
    DeleteDC(memory);
    DeleteObject(dib);
    DestroyWindow(window);
    return 0;
}
