// The live source's window in this process: frames pushed in pieces, in either sample
// encoding and any channel count, give exactly the WAV source's analysis of the same
// samples; older frames fall out, silence and clearing zero it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "live_window.h"
#include "wav_source.h"

using namespace korvane::sim;

namespace {

const double kPi = std::acos(-1.0);

// A sine centred on `bin` at `amplitude`, frame n of a 44.1 kHz stream.
double Sine(int bin, double amplitude, std::size_t n) {
    return amplitude * std::sin(2.0 * kPi * bin * static_cast<double>(n) / kWindowSize);
}

// An in-memory 32-bit float mono "file" for the WAV source's own analysis.
struct MemoryFile {
    std::vector<float> samples;
    static std::size_t Read(void* context, std::uint64_t offset, void* out, std::size_t size) {
        auto* self = static_cast<MemoryFile*>(context);
        const std::size_t bytes = self->samples.size() * sizeof(float);
        if (offset >= bytes) return 0;
        const std::size_t n = size < bytes - offset ? size : static_cast<std::size_t>(bytes - offset);
        std::memcpy(out, reinterpret_cast<const unsigned char*>(self->samples.data()) + offset, n);
        return n;
    }
};

std::vector<float> WavAnalysis(const std::vector<float>& mono) {
    MemoryFile file{mono};
    WavFormat format{SampleEncoding::kFloat32, 1, 44100, 4, 0, mono.size()};
    std::vector<float> bins(kBinCount);
    EXPECT_TRUE(AnalyseWindow(MemoryFile::Read, &file, format, 0, bins.data()));
    return bins;
}

std::vector<float> Analyse(const LiveWindow& window) {
    std::vector<float> bins(kBinCount);
    window.Analyse(bins.data());
    return bins;
}

TEST(LiveWindow, PiecesInEitherEncodingGiveTheWavSourcesAnalysis) {
    // The newest 512 of 700 frames: a tone on bin 40 with one on bin 120, as float
    // stereo (left and right differ, their mean is the signal) and as 16-bit 3-channel.
    const std::size_t total = 700;
    std::vector<float> mono(total);
    for (std::size_t n = 0; n < total; ++n) mono[n] = static_cast<float>(Sine(40, 0.25, n) + Sine(120, 0.5, n));

    const struct {
        const char* name;
        SampleEncoding encoding;
        unsigned channels;
        std::size_t piece;
    } cases[] = {
        {"float stereo, 7-frame pieces", SampleEncoding::kFloat32, 2, 7},
        {"float stereo, one piece", SampleEncoding::kFloat32, 2, total},
        {"16-bit, 3 channels, 480-frame pieces", SampleEncoding::kPcm16, 3, 480},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<unsigned char> bytes;
        std::vector<float> want_mono(total);
        for (std::size_t n = 0; n < total; ++n) {
            double sum = 0.0;
            for (unsigned ch = 0; ch < c.channels; ++ch) {
                // Channels spread around the signal so that only their mean is it.
                const double offset = (static_cast<double>(ch) - (c.channels - 1) / 2.0) * 0.1;
                if (c.encoding == SampleEncoding::kFloat32) {
                    const float s = static_cast<float>(mono[n] + offset);
                    sum += s;
                    bytes.insert(bytes.end(), reinterpret_cast<const unsigned char*>(&s),
                                 reinterpret_cast<const unsigned char*>(&s) + 4);
                } else {
                    const auto s = static_cast<std::int16_t>(std::lround((mono[n] + offset) * 32767.0));
                    sum += s / 32768.0;
                    bytes.insert(bytes.end(), reinterpret_cast<const unsigned char*>(&s),
                                 reinterpret_cast<const unsigned char*>(&s) + 2);
                }
            }
            want_mono[n] = static_cast<float>(sum / c.channels);
        }
        LiveWindow window;
        const std::size_t frame_bytes = bytes.size() / total;
        for (std::size_t at = 0; at < total; at += c.piece) {
            const std::size_t n = total - at < c.piece ? total - at : c.piece;
            window.Push(bytes.data() + at * frame_bytes, n, c.encoding, c.channels);
        }
        const std::vector<float> want = WavAnalysis(std::vector<float>(want_mono.end() - kWindowSize, want_mono.end()));
        const std::vector<float> got = Analyse(window);
        for (std::size_t k = 0; k < kBinCount; ++k) ASSERT_NEAR(got[k], want[k], 1e-4f) << "bin " << k;
        EXPECT_NEAR(got[120], 50.0f, 0.01f);
        EXPECT_NEAR(got[40], 25.0f, 0.01f);
    }
}

TEST(LiveWindow, SilenceAndClearingZeroIt) {
    std::vector<float> tone(kWindowSize);
    for (std::size_t n = 0; n < kWindowSize; ++n) tone[n] = static_cast<float>(Sine(120, 0.5, n));
    LiveWindow window;
    EXPECT_EQ(Analyse(window), std::vector<float>(kBinCount, 0.0f)) << "a new window is silence";
    window.Push(tone.data(), kWindowSize, SampleEncoding::kFloat32, 1);
    EXPECT_NEAR(Analyse(window)[120], 50.0f, 0.01f);
    window.PushSilence(kWindowSize / 2);
    const float half = Analyse(window)[120];
    EXPECT_GT(half, 5.0f);
    EXPECT_LT(half, 45.0f);
    window.PushSilence(kWindowSize);
    EXPECT_EQ(Analyse(window), std::vector<float>(kBinCount, 0.0f)) << "a window's worth of silence";
    window.Push(tone.data(), kWindowSize, SampleEncoding::kFloat32, 1);
    window.Clear();
    EXPECT_EQ(Analyse(window), std::vector<float>(kBinCount, 0.0f));
}

TEST(LiveWindow, BadSamplesAndBadCallsChangeNothingHarmful) {
    // NaN and infinities count as 0, overs clip to full scale: a square of +-8 reads as a
    // full-scale square, never more than 100.
    std::vector<float> wild(kWindowSize);
    for (std::size_t n = 0; n < kWindowSize; ++n) wild[n] = n % 64 < 32 ? 8.0f : -8.0f;
    wild[3] = NAN;
    wild[5] = INFINITY;
    LiveWindow window;
    window.Push(wild.data(), kWindowSize, SampleEncoding::kFloat32, 1);
    for (float v : Analyse(window)) {
        EXPECT_TRUE(std::isfinite(v));
        EXPECT_LE(v, 100.0f);
    }
    // No frames, no channels or too many: nothing happens.
    LiveWindow empty;
    empty.Push(nullptr, 10, SampleEncoding::kFloat32, 1);
    empty.Push(wild.data(), 10, SampleEncoding::kFloat32, 0);
    empty.Push(wild.data(), 10, SampleEncoding::kFloat32, kMaxChannels + 1);
    EXPECT_EQ(Analyse(empty), std::vector<float>(kBinCount, 0.0f));
}

}  // namespace
