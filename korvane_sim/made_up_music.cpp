#include "made_up_music.h"

#include <cmath>

namespace korvane::sim {
namespace {

// A cheap deterministic hash noise in [0, 1) per (bin, frame).
float Noise(unsigned bin, unsigned frame) {
    unsigned x = bin * 0x9E3779B1u ^ frame * 0x85EBCA77u;
    x ^= x >> 15;
    x *= 0x2C1B3C6Du;
    x ^= x >> 12;
    return static_cast<float>(x & 0xFFFFu) / 65536.0f;
}

}  // namespace

void DemoSpectrum(double t, float* bins, std::size_t count) {
    const double beat_phase = std::fmod(t * 2.0, 1.0);        // 120 beats a minute
    const double kick = std::exp(-beat_phase * 6.0);           // decays after each beat
    const unsigned frame = static_cast<unsigned>(t * 30.0);
    // Three wandering peaks, like a melody over the mid range.
    const double centres[3] = {20.0 + 12.0 * std::sin(t * 0.9), 60.0 + 30.0 * std::sin(t * 0.53 + 1.0),
                               140.0 + 60.0 * std::sin(t * 0.31 + 2.0)};
    const double heights[3] = {45.0 + 15.0 * std::sin(t * 3.1), 30.0 + 12.0 * std::sin(t * 2.3 + 0.5),
                               18.0 + 8.0 * std::sin(t * 1.7 + 1.5)};
    for (std::size_t j = 0; j < count; ++j) {
        const double x = static_cast<double>(j);
        double v = 55.0 * std::exp(-x / 18.0) * (0.45 + 0.55 * kick);  // bass and kick
        v += 6.0 * std::exp(-x / 120.0);                               // a floor of sound
        for (int p = 0; p < 3; ++p) {
            const double d = (x - centres[p]) / (3.0 + x * 0.05);
            v += heights[p] * std::exp(-d * d);
        }
        v *= 0.8 + 0.4 * Noise(static_cast<unsigned>(j), frame);
        bins[j] = static_cast<float>(v > 100.0 ? 100.0 : v);
    }
}

}  // namespace korvane::sim
