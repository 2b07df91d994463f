// host_compose_bench: the frame composer built for the Linux host with its own compiler
// and C library, timed against a memcpy of the same frame; prints table rows in the
// form of korvane_bench's. Built and run by scripts/bench, no Windows headers.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "band_reduction.h"
#include "frame_composer.h"

namespace {

constexpr int kWidth = 180, kHeight = 64;
constexpr int kStride = (kWidth * 3 + 3) & ~3;
constexpr int kRuns = 20000;

double Now() {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Stats {
    double median, min, max;
};

Stats Summarize(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return {n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2, values.front(), values.back()};
}

std::string Figure(const Stats& s) {
    char text[96];
    std::snprintf(text, sizeof text, "%.2f µs (%.2f–%.2f)", s.median, s.min, s.max);
    return text;
}

// Spectra that give every bar height, as korvane_bench makes them.
std::vector<std::vector<float>> MakeSpectra(int count) {
    std::vector<std::vector<float>> spectra(count, std::vector<float>(bars::kSpectrumBinCount));
    unsigned seed = 12345;
    for (auto& spectrum : spectra) {
        for (float& bin : spectrum) {
            seed = seed * 1103515245u + 12345u;
            bin = static_cast<float>((seed >> 8) % 10000) / 100.0f;
        }
    }
    return spectra;
}

// Writes every pixel byte of the frame once, with 16-byte copies of each row's 48-byte
// background pattern: the least a composer can do with the 16-byte stores of SSE2 (all
// an x86-64 processor is sure to have), with no choosing between bar and background.
__attribute__((noinline)) void StoreRowPatterns(unsigned char* row, const bars::RowGradients& gradients) {
    constexpr int kRowBytes = kWidth * 3;
    for (int y = 0; y < kHeight; ++y, row += kStride) {
        const unsigned char* pattern = gradients.Background(y).bytes;
        for (int i = 0; i + 48 <= kRowBytes; i += 48) std::memcpy(row + i, pattern, 48);
        std::memcpy(row + kRowBytes - 16, pattern + (kRowBytes - 16) % 48, 16);
    }
}

}  // namespace

int main() {
    const auto spectra = MakeSpectra(64);
    const int n = static_cast<int>(spectra.size());
    std::vector<bars::BandLevels> levels;
    for (const auto& spectrum : spectra) levels.push_back(bars::ReduceBands(spectrum.data()));
    std::vector<unsigned char> frame(static_cast<size_t>(kStride) * kHeight), copy(frame.size());
    const bars::RowGradients gradients(kHeight);
    const bars::PixelBuffer picture{frame.data(), kWidth, kHeight, kStride};
    // Called through a pointer the compiler cannot see through: the copy is really made.
    void* (*volatile copy_frame)(void*, const void*, size_t) = std::memcpy;

    for (int i = 0; i < 200; ++i) bars::ComposeFrame(levels[i % n], picture, gradients);
    std::vector<double> compose_times, reduce_compose_times, memcpy_times;
    for (int i = 0; i < kRuns; ++i) {
        double start = Now();
        bars::ComposeFrame(levels[i % n], picture, gradients);
        compose_times.push_back(Now() - start);
        start = Now();
        bars::ComposeFrame(bars::ReduceBands(spectra[i % n].data()), picture, gradients);
        reduce_compose_times.push_back(Now() - start);
        frame[i % frame.size()] ^= 1;
        start = Now();
        copy_frame(copy.data(), frame.data(), static_cast<size_t>(kWidth) * 3 * kHeight);
        memcpy_times.push_back(Now() - start);
    }
    // Where ComposeFrame's time goes: the stores alone, and the bar/background choice
    // with no bar edge to apply.
    std::vector<double> store_times, no_bar_times;
    const bars::BandLevels no_bars = {};
    for (int i = 0; i < kRuns; ++i) {
        double start = Now();
        StoreRowPatterns(frame.data(), gradients);
        store_times.push_back(Now() - start);
        start = Now();
        bars::ComposeFrame(no_bars, picture, gradients);
        no_bar_times.push_back(Now() - start);
    }
    const Stats compose = Summarize(compose_times), copy_stats = Summarize(memcpy_times);
    const double ratio = compose.median / copy_stats.median;
    std::printf("| host (Linux, g++ -O2, glibc): ComposeFrame 180×64 | %s; with ReduceBands %s | memcpy of one "
                "24-bit frame: %s | %.2f × memcpy | ≤ 3 × memcpy | %s |\n",
                Figure(compose).c_str(), Figure(Summarize(reduce_compose_times)).c_str(),
                Figure(copy_stats).c_str(), ratio, ratio <= 3.0 ? "met" : "**not met**");
    const Stats stores = Summarize(store_times), no_bar = Summarize(no_bar_times);
    std::printf("| host, where ComposeFrame's time goes | the frame's rows written with 16-byte stores of their "
                "patterns alone: %s (%.2f × memcpy); ComposeFrame with no bar up: %s (%.2f × memcpy) | memcpy, as "
                "above | — | — | — |\n",
                Figure(stores).c_str(), stores.median / copy_stats.median, Figure(no_bar).c_str(),
                no_bar.median / copy_stats.median);
    return 0;
}
