// The WAV source's pieces in this process: the FFT against a direct transform, the
// magnitude scale, the header parser on well-formed and hostile files, and one window's
// analysis of a tone made here.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fft.h"
#include "wav_source.h"

using namespace korvane::sim;

namespace {

const double kPi = std::acos(-1.0);

// ---- FFT ----

TEST(Fft, MatchesTheDirectTransform) {
    for (std::size_t n : {1u, 2u, 4u, 8u, 64u, 512u}) {
        SCOPED_TRACE(n);
        std::vector<std::complex<double>> x(n);
        std::uint32_t seed = 12345;
        for (auto& v : x) {
            seed = seed * 1664525u + 1013904223u;
            const double re = static_cast<double>(seed >> 8) / (1 << 24) - 0.5;
            seed = seed * 1664525u + 1013904223u;
            v = {re, static_cast<double>(seed >> 8) / (1 << 24) - 0.5};
        }
        std::vector<std::complex<double>> want(n);
        for (std::size_t k = 0; k < n; ++k)
            for (std::size_t t = 0; t < n; ++t)
                want[k] += x[t] * std::polar(1.0, -2.0 * kPi * static_cast<double>(k * t % n) / n);
        ASSERT_TRUE(Fft(x.data(), n));
        for (std::size_t k = 0; k < n; ++k) {
            EXPECT_NEAR(x[k].real(), want[k].real(), 1e-9) << "bin " << k;
            EXPECT_NEAR(x[k].imag(), want[k].imag(), 1e-9) << "bin " << k;
        }
    }
}

TEST(Fft, RefusesSizesThatAreNoPowerOfTwo) {
    std::complex<double> x[12] = {{1, 0}, {2, 0}, {3, 0}};
    for (std::size_t n : {0u, 3u, 6u, 12u}) {
        EXPECT_FALSE(Fft(x, n)) << n;
        EXPECT_EQ(x[0], std::complex<double>(1, 0));
    }
}

// ---- scale ----

TEST(Scale, FullScaleSineIs100AndQuietIsZero) {
    const struct {
        double magnitude;
        float want;
    } cases[] = {
        {128.0, 100.0f},         // full-scale sine: A * 512 / 4
        {64.0, 50.0f},           // half scale
        {1.28, 1.0f},            // -40 dB
        {0.0128, 0.01f},         // -80 dB: the quietest shown
        {0.0127, 0.0f},          // below it: nothing
        {0.0, 0.0f},
        {256.0, 100.0f},         // DC or overs are cut at 100
        {1e300, 100.0f},
        {INFINITY, 100.0f},
        {NAN, 0.0f},
    };
    for (const auto& c : cases) EXPECT_FLOAT_EQ(ScaleMagnitude(c.magnitude), c.want) << c.magnitude;
}

TEST(Scale, HopGivesAbout40RecordsASecond) {
    const struct {
        unsigned rate, hop;
    } cases[] = {{44100, 1103}, {48000, 1200}, {22050, 551}, {8000, 200}, {1000, 25}, {768000, 19200}};
    for (const auto& c : cases) EXPECT_EQ(HopFor(c.rate), c.hop) << c.rate;
}

// ---- a WAV file in memory ----

void Put16(std::vector<unsigned char>& b, unsigned v) {
    b.push_back(v & 0xFF);
    b.push_back((v >> 8) & 0xFF);
}
void Put32(std::vector<unsigned char>& b, std::uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}
void PutChunk(std::vector<unsigned char>& b, const char* id, const std::vector<unsigned char>& body,
              std::uint32_t claimed_size, bool pad = true) {
    b.insert(b.end(), id, id + 4);
    Put32(b, claimed_size);
    b.insert(b.end(), body.begin(), body.end());
    if (pad && (body.size() & 1)) b.push_back(0);
}
std::vector<unsigned char> Fmt(unsigned tag, unsigned channels, std::uint32_t rate, unsigned bits,
                               unsigned block_align = 0) {
    if (!block_align) block_align = channels * bits / 8;
    std::vector<unsigned char> f;
    Put16(f, tag);
    Put16(f, channels);
    Put32(f, rate);
    Put32(f, rate * block_align);
    Put16(f, block_align);
    Put16(f, bits);
    return f;
}
std::vector<unsigned char> Extensible(unsigned sub_tag, unsigned channels, unsigned bits, bool good_guid = true) {
    std::vector<unsigned char> f = Fmt(0xFFFE, channels, 44100, bits);
    Put16(f, 22);
    Put16(f, bits);
    Put32(f, channels == 1 ? 4 : 3);
    Put16(f, sub_tag);
    const unsigned char tail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                    0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, static_cast<unsigned char>(good_guid ? 0x71 : 0x72)};
    f.insert(f.end(), tail, tail + 14);
    return f;
}
std::vector<unsigned char> Riff(const std::vector<unsigned char>& chunks, const char* form = "WAVE") {
    std::vector<unsigned char> b = {'R', 'I', 'F', 'F'};
    Put32(b, static_cast<std::uint32_t>(chunks.size() + 4));
    b.insert(b.end(), form, form + 4);
    b.insert(b.end(), chunks.begin(), chunks.end());
    return b;
}
std::vector<unsigned char> Data(std::size_t bytes) { return std::vector<unsigned char>(bytes, 0); }
std::vector<unsigned char> Join(std::vector<unsigned char> a, const std::vector<unsigned char>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
std::vector<unsigned char> Chunk(const char* id, const std::vector<unsigned char>& body) {
    std::vector<unsigned char> b;
    PutChunk(b, id, body, static_cast<std::uint32_t>(body.size()));
    return b;
}
std::vector<unsigned char> Chunk(const char* id, const std::vector<unsigned char>& body, std::uint32_t claimed) {
    std::vector<unsigned char> b;
    PutChunk(b, id, body, claimed);
    return b;
}

// Reads from bytes in memory; counts reads outside `allowed_*` (past the data chunk).
struct Memory {
    const std::vector<unsigned char>* bytes;
    bool fail = false;
    static std::size_t Read(void* context, std::uint64_t offset, void* out, std::size_t size) {
        auto* m = static_cast<Memory*>(context);
        if (m->fail || offset >= m->bytes->size()) return 0;
        const std::size_t n = std::min<std::uint64_t>(size, m->bytes->size() - offset);
        std::memcpy(out, m->bytes->data() + offset, n);
        return n;
    }
};

bool Parse(const std::vector<unsigned char>& file, WavFormat* format) {
    Memory m{&file};
    return ParseWav(Memory::Read, &m, file.size(), format);
}

TEST(ParseWav, TakesThe16BitAndFloatFormatsItPlays) {
    const std::vector<unsigned char> pcm_fmt = Fmt(1, 2, 44100, 16);
    const struct {
        const char* name;
        std::vector<unsigned char> file;
        SampleEncoding encoding;
        unsigned channels, rate;
        std::uint64_t frames, data_offset;
    } cases[] = {
        {"16-bit stereo", Riff(Join(Chunk("fmt ", pcm_fmt), Chunk("data", Data(400)))), SampleEncoding::kPcm16, 2, 44100, 100, 44},
        {"float mono with fact chunk",
         Riff(Join(Join(Chunk("fmt ", Fmt(3, 1, 8000, 32)), Chunk("fact", Data(4))), Chunk("data", Data(40)))),
         SampleEncoding::kFloat32, 1, 8000, 10, 56},
        {"extensible 16-bit", Riff(Join(Chunk("fmt ", Extensible(1, 1, 16)), Chunk("data", Data(20)))),
         SampleEncoding::kPcm16, 1, 44100, 10, 68},
        {"extensible float", Riff(Join(Chunk("fmt ", Extensible(3, 2, 32)), Chunk("data", Data(16)))),
         SampleEncoding::kFloat32, 2, 44100, 2, 68},
        {"odd-sized chunk before fmt, padded",
         Riff(Join(Join(Chunk("LIST", Data(3)), Chunk("fmt ", pcm_fmt)), Chunk("data", Data(8)))),
         SampleEncoding::kPcm16, 2, 44100, 2, 56},
        {"data before fmt", Riff(Join(Chunk("data", Data(8)), Chunk("fmt ", pcm_fmt))), SampleEncoding::kPcm16, 2,
         44100, 2, 20},
        {"data claims more than the file holds: what is there",
         Riff(Join(Chunk("fmt ", pcm_fmt), Chunk("data", Data(40), 1000000))), SampleEncoding::kPcm16, 2, 44100, 10, 44},
        {"data of streaming writers' size ~0", Riff(Join(Chunk("fmt ", pcm_fmt), Chunk("data", Data(42), 0xFFFFFFFFu))),
         SampleEncoding::kPcm16, 2, 44100, 10, 44},
        {"trailing part of a frame dropped", Riff(Join(Chunk("fmt ", pcm_fmt), Chunk("data", Data(7)))),
         SampleEncoding::kPcm16, 2, 44100, 1, 44},
        {"empty data", Riff(Join(Chunk("fmt ", pcm_fmt), Chunk("data", Data(0)))), SampleEncoding::kPcm16, 2, 44100, 0, 44},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WavFormat f{};
        ASSERT_TRUE(Parse(c.file, &f));
        EXPECT_EQ(f.encoding, c.encoding);
        EXPECT_EQ(f.channels, c.channels);
        EXPECT_EQ(f.rate, c.rate);
        EXPECT_EQ(f.frame_count, c.frames);
        EXPECT_EQ(f.data_offset, c.data_offset);
    }
}

TEST(ParseWav, RefusesWhatItCannotPlay) {
    const std::vector<unsigned char> data = Chunk("data", Data(400));
    std::vector<unsigned char> short_fmt = Fmt(1, 1, 44100, 16);
    short_fmt.resize(14);
    const struct {
        const char* name;
        std::vector<unsigned char> file;
    } cases[] = {
        {"empty file", {}},
        {"not RIFF", Join({'R', 'I', 'F', 'X', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}, Join(Chunk("fmt ", Fmt(1, 1, 44100, 16)), data))},
        {"RIFF but not WAVE", Riff(Join(Chunk("fmt ", Fmt(1, 1, 44100, 16)), data), "AVI ")},
        {"8-bit PCM", Riff(Join(Chunk("fmt ", Fmt(1, 1, 44100, 8)), data))},
        {"24-bit PCM", Riff(Join(Chunk("fmt ", Fmt(1, 1, 44100, 24)), data))},
        {"64-bit float", Riff(Join(Chunk("fmt ", Fmt(3, 1, 44100, 64)), data))},
        {"ADPCM", Riff(Join(Chunk("fmt ", Fmt(2, 1, 44100, 16)), data))},
        {"extensible with a foreign GUID", Riff(Join(Chunk("fmt ", Extensible(1, 1, 16, false)), data))},
        {"extensible cut short", Riff(Join(Chunk("fmt ", Fmt(0xFFFE, 1, 44100, 16)), data))},
        {"no channels", Riff(Join(Chunk("fmt ", Fmt(1, 0, 44100, 16, 2)), data))},
        {"nine channels", Riff(Join(Chunk("fmt ", Fmt(1, 9, 44100, 16)), data))},
        {"rate 0", Riff(Join(Chunk("fmt ", Fmt(1, 1, 0, 16)), data))},
        {"rate 4 GHz", Riff(Join(Chunk("fmt ", Fmt(1, 1, 0xFFFFFFFFu, 16)), data))},
        {"block align off", Riff(Join(Chunk("fmt ", Fmt(1, 2, 44100, 16, 3)), data))},
        {"fmt shorter than 16 bytes", Riff(Join(Chunk("fmt ", short_fmt), data))},
        {"fmt claims more than the file holds", Riff(Chunk("fmt ", Fmt(1, 1, 44100, 16), 0x7FFFFFFF))},
        {"no fmt", Riff(data)},
        {"no data", Riff(Chunk("fmt ", Fmt(1, 1, 44100, 16)))},
        {"odd chunk unpadded: the walk lands inside the data chunk",
         Riff(Join(Chunk("fmt ", Fmt(1, 1, 44100, 16)), Join([] {
                       std::vector<unsigned char> b;
                       PutChunk(b, "LIST", Data(3), 3, false);
                       return b;
                   }(), data)))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WavFormat f{};
        EXPECT_FALSE(Parse(c.file, &f));
    }
}

TEST(ParseWav, EveryCutOfAFileIsSafe) {
    // Cut after every byte: either refused, or a format whose frames lie in the cut.
    const std::vector<unsigned char> file =
        Riff(Join(Join(Chunk("LIST", Data(5)), Chunk("fmt ", Extensible(3, 2, 32))), Chunk("data", Data(64))));
    for (std::size_t size = 0; size <= file.size(); ++size) {
        const std::vector<unsigned char> cut(file.begin(), file.begin() + size);
        WavFormat f{};
        if (Parse(cut, &f)) {
            EXPECT_LE(f.data_offset + f.frame_count * f.block_align, size) << size;
        }
    }
    Memory failing{&file, true};
    WavFormat f{};
    EXPECT_FALSE(ParseWav(Memory::Read, &failing, file.size(), &f));
}

TEST(ParseWav, AHostileChunkChainEndsQuickly) {
    // A file of empty chunks: the walk gives up instead of reading them all.
    std::vector<unsigned char> chunks;
    for (int i = 0; i < 100000; ++i) PutChunk(chunks, "junk", {}, 0);
    const std::vector<unsigned char> file = Riff(Join(chunks, Join(Chunk("fmt ", Fmt(1, 1, 44100, 16)), Chunk("data", Data(2)))));
    WavFormat f{};
    EXPECT_FALSE(Parse(file, &f));
}

// ---- one window ----

// A file of `frames` frames, sample (frame, channel) from `sample`.
template <typename Sample>
std::vector<unsigned char> Tone(unsigned tag, unsigned channels, std::size_t frames, Sample sample) {
    std::vector<unsigned char> pcm;
    for (std::size_t n = 0; n < frames; ++n) {
        for (unsigned c = 0; c < channels; ++c) {
            const double v = sample(n, c);
            if (tag == 1) {
                Put16(pcm, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(v * 32767.0))));
            } else {
                const float f = static_cast<float>(v);
                std::uint32_t bits;
                std::memcpy(&bits, &f, 4);
                Put32(pcm, bits);
            }
        }
    }
    return Riff(Join(Chunk("fmt ", Fmt(tag, channels, 44100, tag == 1 ? 16 : 32)), Chunk("data", pcm)));
}

std::vector<float> Analyse(const std::vector<unsigned char>& file, std::uint64_t first) {
    WavFormat f{};
    EXPECT_TRUE(Parse(file, &f));
    Memory m{&file};
    std::vector<float> bins(kBinCount, -1.0f);
    EXPECT_TRUE(AnalyseWindow(Memory::Read, &m, f, first, bins.data()));
    return bins;
}

TEST(AnalyseWindow, ABinCentredToneShowsInItsBinAndHalfInItsNeighbours) {
    const auto sine = [](int bin, double amplitude) {
        return [=](std::size_t n, unsigned) { return amplitude * std::sin(2 * kPi * bin * n / 512.0); };
    };
    const struct {
        const char* name;
        std::vector<unsigned char> file;
        int bin;
        float peak;
    } cases[] = {
        {"16-bit, half scale", Tone(1, 1, 512, sine(37, 0.5)), 37, 50.0f},
        {"float, full scale", Tone(3, 1, 512, sine(120, 1.0)), 120, 100.0f},
        {"stereo, tone in one channel: mixed to half", Tone(3, 2, 512, [](std::size_t n, unsigned c) {
             return c == 0 ? 0.8 * std::sin(2 * kPi * 200 * n / 512.0) : 0.0;
         }), 200, 40.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<float> bins = Analyse(c.file, 0);
        EXPECT_NEAR(bins[c.bin], c.peak, 0.01);
        EXPECT_NEAR(bins[c.bin - 1], c.peak / 2, 0.01);
        EXPECT_NEAR(bins[c.bin + 1], c.peak / 2, 0.01);
        for (int k = 0; k < 256; ++k) {
            if (std::abs(k - c.bin) > 1) {
                EXPECT_EQ(bins[k], 0.0f) << "bin " << k;
            }
        }
    }
}

TEST(AnalyseWindow, FloatGarbageAndTheFileEndGiveFiniteBins) {
    const auto garbage = [](std::size_t n, unsigned) {
        const double values[] = {NAN, INFINITY, -INFINITY, 1e30, -1e30, 0.25};
        return values[n % 6];
    };
    for (std::uint64_t first : {0ull, 300ull, 1000ull, 1ull << 40}) {
        SCOPED_TRACE(first);
        const std::vector<float> bins = Analyse(Tone(3, 2, 600, garbage), first);
        for (float v : bins) {
            EXPECT_TRUE(v >= 0.0f && v <= 100.0f) << v;
        }
        if (first >= 600) {
            for (float v : bins) EXPECT_EQ(v, 0.0f);
        }
    }
}

TEST(AnalyseWindow, AFailedReadIsReported) {
    const std::vector<unsigned char> file = Tone(1, 1, 512, [](std::size_t, unsigned) { return 0.1; });
    WavFormat f{};
    ASSERT_TRUE(Parse(file, &f));
    Memory failing{&file, true};
    float bins[kBinCount];
    EXPECT_FALSE(AnalyseWindow(Memory::Read, &failing, f, 0, bins));
}

}  // namespace
