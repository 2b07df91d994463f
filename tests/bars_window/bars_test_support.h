#pragma once
// What the bars window's end-to-end tests share: its texts, a started program with its
// window, label and canvas, spectra that give chosen levels, and the canvas as shown.
#include <windows.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "band_reduction.h"
#include "harness.h"

namespace bars_test {

inline const std::wstring kTitle = L"Плагин AIMP";
inline const std::wstring kPlayerRunning = L"Плеер работает";
inline const std::wstring kPlayerNotRunning = L"Плеер не запущен";
inline const std::wstring kLoadFailed = L"Не удалось загрузить библиотеку";

constexpr int kLabelX = 10, kLabelY = 10, kLabelWidth = 180, kLabelHeight = 16;
constexpr int kCanvasX = 10, kCanvasY = 28, kCanvasWidth = 180, kCanvasHeight = 64;
constexpr DWORD kStartTimeoutMs = 30000;
// A frame blitted on a library thread is in the window before the handler returns, but
// under Wine it reaches the X screen (where tests read it back) only at the next flush
// of the window surface: the next delivery, or the window thread's next wake-up (the
// status timer at the latest; with no library there is no timer, and an uncovered canvas
// waits for its repaint). Only a deadline: a passing wait ends as soon as the pixels
// are there, so it may be long enough for a machine with every core busy.
constexpr DWORD kFlushTimeoutMs = 10000;

// A bin value that the reduction turns into exactly `level`; NaN when none does.
float BinForLevel(float level);
// 256 bins that give these levels exactly, where the shared bins allow it: bars 1 and 2
// equal, bar 4 at least bar 3, bar 6 at least bar 5.
std::vector<float> SpectrumFor(const bars::BandLevels& levels);

// bars_window started from a stage folder, with the control block it runs against.
class BarsProgram {
public:
    explicit BarsProgram(const std::wstring& variant = L"full");
    ~BarsProgram();

    // Starts it and waits for its visible window; false (with a failure) otherwise.
    bool Start();
    // Hands record r to the library for one delivery and waits until the handler
    // returned; the frame must then be on the screen.
    bool DeliverRecord(int r);
    // The canvas and the status label as shown on the screen, 0x00BBGGRR from the top.
    std::vector<std::uint32_t> Canvas() const;
    std::vector<std::uint32_t> Label() const;

    harness::SimControl sim;
    harness::Process process;
    HWND window = nullptr;
    HWND label = nullptr;
    HWND canvas = nullptr;

private:
    std::wstring variant_;
};

// Screen coordinates of a point of the window's frame that hit-tests as `code`
// (HTCLOSE, HTCAPTION, ...); false when none is found.
bool FindHitPoint(HWND window, LRESULT code, POINT* point);
// Every hit code found on the window's frame outside its client area.
std::set<LRESULT> FrameHitCodes(HWND window);

// A label of the status line's size, font and style showing `text`, drawn by the system
// in this process: what the program's label must look like, pixel for pixel.
std::vector<std::uint32_t> LabelAsTheSystemDrawsIt(const std::wstring& text);

// Polls until the canvas shows `want`; for paths the system repaints on its own time.
bool WaitForCanvas(const BarsProgram& program, const std::vector<std::uint32_t>& want, DWORD timeout_ms);

// The first differing pixel, for failure messages.
std::string FirstDifference(const std::vector<std::uint32_t>& got, const std::vector<std::uint32_t>& want,
                            int width);

}  // namespace bars_test
