// The stand-in playing sox-made signals under the real programs: the bars window's
// canvas for a tone, a sweep and silence, and polling_console's value at bin 120.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cwchar>
#include <string>
#include <vector>

#include "band_reduction.h"
#include "bars_test_support.h"
#include "console_test_support.h"
#include "harness.h"
#include "reference_frame.h"
#include "wav_test_support.h"

using namespace wav_test;
using bars_test::kCanvasHeight;
using bars_test::kCanvasWidth;

namespace {

// bars_window on the full stand-in playing `wav`; closed on destruction.
class BarsOnWav {
public:
    BarsOnWav(const std::wstring& wav, bool loop)
        : file_(L"KORVANE_SIM_WAV", wav), loop_(L"KORVANE_SIM_WAV_LOOP", loop ? L"1" : L"0") {}
    ~BarsOnWav() {
        if (process.Running()) {
            if (window) PostMessageW(window, WM_CLOSE, 0, 0);
            EXPECT_EQ(process.WaitExit(10000), 0u);
        }
    }
    bool Start() {
        if (!process.Start(harness::StagedProgram(L"full", L"bars_window"))) return false;
        window = harness::WaitForWindow(process.pid(), L"BarsWindow", nullptr, bars_test::kStartTimeoutMs);
        return window != nullptr;
    }
    std::vector<std::uint32_t> Canvas() const {
        return harness::ReadClientPixels(window, bars_test::kCanvasX, bars_test::kCanvasY, kCanvasWidth,
                                         kCanvasHeight);
    }

    harness::Process process;
    HWND window = nullptr;

private:
    ScopedEnv file_, loop_;
};

// Bar heights in pixels read off a canvas: for each band, the tallest run of non-background
// pixels standing on the bottom row among the columns the band's bar covers.
class BarReader {
public:
    BarReader() : background_(reference::Frame(reference::Uniform(0.0f), kCanvasWidth, kCanvasHeight)) {
        for (int b = 0; b < bars::kBandCount; ++b) {
            bars::BandLevels only = reference::Uniform(0.0f);
            only.level[b] = 100.0f;
            const std::vector<std::uint32_t> frame = reference::Frame(only, kCanvasWidth, kCanvasHeight);
            const int bottom = (kCanvasHeight - 1) * kCanvasWidth;
            for (int x = 0; x < kCanvasWidth; ++x)
                if (frame[bottom + x] != background_[bottom + x]) columns_[b].push_back(x);
        }
    }
    const std::vector<std::uint32_t>& background() const { return background_; }
    // Whether the canvas shows a frame of bars at all (not the white of a fresh canvas):
    // the columns between the bars show the background.
    bool IsFrame(const std::vector<std::uint32_t>& canvas) const {
        std::vector<bool> bar_column(kCanvasWidth, false);
        for (const auto& columns : columns_)
            for (int x : columns) bar_column[x] = true;
        for (int y = 0; y < kCanvasHeight; ++y)
            for (int x = 0; x < kCanvasWidth; ++x)
                if (!bar_column[x] && canvas[y * kCanvasWidth + x] != background_[y * kCanvasWidth + x]) return false;
        return true;
    }
    // -1 when no bar stands at all.
    int Tallest(const std::vector<std::uint32_t>& canvas, int* height = nullptr) const {
        int best = -1, best_height = 0;
        for (int b = 0; b < bars::kBandCount; ++b) {
            int h = 0;
            for (int x : columns_[b]) {
                int y = kCanvasHeight - 1;
                while (y >= 0 && canvas[y * kCanvasWidth + x] != background_[y * kCanvasWidth + x]) --y;
                h = std::max(h, kCanvasHeight - 1 - y);
            }
            if (h > 0 && h >= best_height) {
                best = b;
                best_height = h;
            }
        }
        if (height) *height = best_height;
        return best;
    }

private:
    std::vector<std::uint32_t> background_;
    std::vector<int> columns_[bars::kBandCount];
};

int BandOfBin(int bin) {
    for (int b = bars::kBandCount - 1; b >= 0; --b)
        if (bars::BandTable[b].first <= bin && bin <= bars::BandTable[b].last) return b;
    return -1;
}

TEST(WavBarsWindow, APureTonesTallestBarIsTheBandHoldingItsBin) {
    const BarReader reader;
    const struct {
        const wchar_t* file;
        int bin;
    } cases[] = {{L"tone_44100_s16_mono_bin20", 20}, {L"tone_48000_f32_stereo_bin120", 120}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file, c.file + wcslen(c.file)));
        BarsOnWav program(Signal(c.file), true);
        ASSERT_TRUE(program.Start());
        int tallest = -1, height = 0;
        const DWORD start = GetTickCount();
        while (GetTickCount() - start < 10000) {
            tallest = reader.Tallest(program.Canvas(), &height);
            if (tallest == BandOfBin(c.bin)) break;
            Sleep(50);
        }
        EXPECT_EQ(tallest, BandOfBin(c.bin));
        // A half-scale tone: bin value 50, level 79, about 50 of 64 rows.
        EXPECT_NEAR(height, 51, 2);
    }
}

TEST(WavBarsWindow, DuringASweepTheTallestBarNeverMovesLeftByMoreThanOne) {
    const BarReader reader;
    BarsOnWav program(Signal(L"sweep"), false);
    ASSERT_TRUE(program.Start());
    std::vector<int> seen;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 6000) {
        const std::vector<std::uint32_t> canvas = program.Canvas();
        const int band = reader.IsFrame(canvas) ? reader.Tallest(canvas) : -1;
        if (band >= 0 && (seen.empty() || seen.back() != band)) seen.push_back(band);
        Sleep(20);
    }
    ASSERT_GE(seen.size(), 5u) << "the sweep moved the bars";
    for (size_t i = 1; i < seen.size(); ++i) EXPECT_GE(seen[i], seen[i - 1] - 1) << "reading " << i;
    EXPECT_EQ(seen.back(), 17);
}

TEST(WavBarsWindow, SilenceLeavesTheBareBackground) {
    const BarReader reader;
    BarsOnWav program(Signal(L"silence"), true);
    ASSERT_TRUE(program.Start());
    // The canvas starts white: the background shows that silent records were painted.
    std::vector<std::uint32_t> canvas;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 10000) {
        canvas = program.Canvas();
        if (canvas == reader.background()) break;
        Sleep(50);
    }
    EXPECT_EQ(canvas, reader.background())
        << bars_test::FirstDifference(canvas, reader.background(), kCanvasWidth);
}

// polling_console's lines as numbers; "Wait" (no record) as NaN.
std::vector<double> Values(const std::vector<std::wstring>& lines) {
    std::vector<double> values;
    for (const std::wstring& line : lines) {
        if (line == L"Wait") {
            values.push_back(NAN);
            continue;
        }
        wchar_t* end = nullptr;
        const double v = std::wcstod(line.c_str(), &end);
        EXPECT_TRUE(end && *end == 0 && !line.empty()) << "unexpected line";
        values.push_back(v);
    }
    return values;
}

TEST(WavPollingConsole, ValuesRiseWhileAToneSitsAtBin120AndStayNearZeroOtherwise) {
    // 1.5 s of a tone at bin 40, 1.5 s at bin 120, 1 s of silence; then the player stops.
    ScopedEnv file(L"KORVANE_SIM_WAV", Signal(L"off_on_off_bin120"));
    ScopedEnv loop(L"KORVANE_SIM_WAV_LOOP", L"0");
    console_test::RunWithFile run(L"full", L"polling_console", L"wav_polling");
    // Until the player has stopped and says so: numbers, then "Wait" again.
    std::vector<double> values;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 20000) {
        Sleep(250);
        values = Values(run.Lines());
        bool number_seen = false, stopped = false;
        for (double v : values) {
            if (!std::isnan(v)) number_seen = true;
            else if (number_seen) stopped = true;
        }
        if (stopped) break;
    }
    ASSERT_TRUE(console_test::PressEnter(run.process().pid()));
    EXPECT_EQ(run.process().WaitExit(10000), 0u);

    // [Wait...] low... high... low... Wait...
    std::vector<double> numbers;
    size_t i = 0;
    while (i < values.size() && std::isnan(values[i])) ++i;
    for (; i < values.size() && !std::isnan(values[i]); ++i) numbers.push_back(values[i]);
    for (; i < values.size(); ++i) EXPECT_TRUE(std::isnan(values[i])) << "a record after the end, line " << i;
    size_t high_first = numbers.size(), high_last = 0;
    for (size_t n = 0; n < numbers.size(); ++n) {
        if (numbers[n] > 20.0) {
            high_first = std::min(high_first, n);
            high_last = n;
        }
    }
    ASSERT_LT(high_first, numbers.size()) << "the value never rose";
    // One record on each side straddles the change of tone.
    ASSERT_GE(high_first, 10u) << "the tone off bin 120 played first";
    ASSERT_GE(numbers.size() - high_last, 10u) << "silence played last";
    for (size_t n = 0; n + 1 < high_first; ++n) EXPECT_LT(numbers[n], 0.5) << "before, value " << n;
    for (size_t n = high_first + 1; n < high_last; ++n) EXPECT_GT(numbers[n], 40.0) << "during, value " << n;
    for (size_t n = high_last + 2; n < numbers.size(); ++n) EXPECT_LT(numbers[n], 0.5) << "after, value " << n;
}

}  // namespace
