#include "live_window.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace korvane::sim {

void LiveWindow::Append(double sample) {
    samples_[next_] = sample;
    next_ = (next_ + 1) % kWindowSize;
}

void LiveWindow::Push(const void* frames, std::size_t count, SampleEncoding encoding, unsigned channels) {
    if (!frames || channels < 1 || channels > kMaxChannels) return;
    const auto* p = static_cast<const unsigned char*>(frames);
    const std::size_t sample_size = encoding == SampleEncoding::kPcm16 ? 2 : 4;
    // Only the newest kWindowSize frames can matter.
    if (count > kWindowSize) {
        p += (count - kWindowSize) * channels * sample_size;
        count = kWindowSize;
    }
    for (std::size_t i = 0; i < count; ++i) {
        double sum = 0.0;
        for (unsigned c = 0; c < channels; ++c, p += sample_size) {
            if (encoding == SampleEncoding::kPcm16) {
                std::int16_t s;
                std::memcpy(&s, p, sizeof s);
                sum += s / 32768.0;
            } else {
                float f;
                std::memcpy(&f, p, sizeof f);
                if (!std::isfinite(f)) f = 0.0f;
                sum += f > 1.0f ? 1.0 : (f < -1.0f ? -1.0 : f);
            }
        }
        Append(sum / channels);
    }
}

void LiveWindow::PushSilence(std::size_t count) {
    for (std::size_t i = 0; i < count && i < kWindowSize; ++i) Append(0.0);
}

void LiveWindow::Clear() {
    for (double& s : samples_) s = 0.0;
    next_ = 0;
}

void LiveWindow::Analyse(float* bins) const {
    double ordered[kWindowSize];
    for (std::size_t n = 0; n < kWindowSize; ++n) ordered[n] = samples_[(next_ + n) % kWindowSize];
    AnalyseMono(ordered, bins);
}

}  // namespace korvane::sim
