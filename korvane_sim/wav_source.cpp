#include "wav_source.h"

#include <cmath>
#include <complex>
#include <cstring>

#include "fft.h"

namespace korvane::sim {

namespace {

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatFloat = 3;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
// A hostile file may be nothing but empty chunks; the header walk stays short.
constexpr int kMaxChunks = 4096;

std::uint16_t U16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t U32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool ReadExactly(ReadAt read, void* context, std::uint64_t offset, void* out, std::size_t size) {
    return read(context, offset, out, size) == size;
}

// The fmt chunk's body (up to 40 bytes read); false when it is not a format we play.
bool ParseFmt(const unsigned char* body, std::uint32_t size, WavFormat* format) {
    if (size < 16) return false;
    std::uint16_t tag = U16(body);
    const unsigned channels = U16(body + 2);
    const std::uint32_t rate = U32(body + 4);
    const unsigned block_align = U16(body + 12);
    const unsigned bits = U16(body + 14);
    if (tag == kFormatExtensible) {
        // The sub-format GUID is the old tag followed by a fixed tail.
        static const unsigned char kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                    0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        if (size < 40 || std::memcmp(body + 26, kGuidTail, sizeof kGuidTail) != 0) return false;
        tag = U16(body + 24);
    }
    if (tag == kFormatPcm && bits == 16) {
        format->encoding = SampleEncoding::kPcm16;
    } else if (tag == kFormatFloat && bits == 32) {
        format->encoding = SampleEncoding::kFloat32;
    } else {
        return false;
    }
    if (channels < 1 || channels > kMaxChannels) return false;
    if (rate < kMinRate || rate > kMaxRate) return false;
    if (block_align != channels * (bits / 8)) return false;
    format->channels = channels;
    format->rate = rate;
    format->block_align = block_align;
    return true;
}

// The periodic Hann window of the analysis.
double Hann(std::size_t n) {
    const double pi = std::acos(-1.0);
    return 0.5 - 0.5 * std::cos(2.0 * pi * static_cast<double>(n) / kWindowSize);
}

// FFT of the windowed samples, then the scale, into the 256 bins.
void Transform(std::complex<double>* x, float* bins) {
    Fft(x, kWindowSize);
    for (std::size_t k = 0; k < kBinCount; ++k) bins[k] = ScaleMagnitude(std::abs(x[k]));
}

}  // namespace

bool ParseWav(ReadAt read, void* context, std::uint64_t file_size, WavFormat* format) {
    unsigned char riff[12];
    if (file_size < 12 || !ReadExactly(read, context, 0, riff, sizeof riff)) return false;
    if (std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) return false;
    // The RIFF size is often wrong (0 or ~0 from streaming writers): the file's size rules.
    WavFormat found{};
    bool have_fmt = false, have_data = false;
    std::uint64_t data_size = 0;
    std::uint64_t pos = 12;
    for (int chunk = 0; chunk < kMaxChunks && !(have_fmt && have_data) && pos + 8 <= file_size; ++chunk) {
        unsigned char header[8];
        if (!ReadExactly(read, context, pos, header, sizeof header)) return false;
        const std::uint32_t size = U32(header + 4);
        const std::uint64_t body = pos + 8;
        if (std::memcmp(header, "fmt ", 4) == 0 && !have_fmt) {
            unsigned char fmt[40] = {};
            const std::size_t want = size < sizeof fmt ? size : sizeof fmt;
            if (body + want > file_size || !ReadExactly(read, context, body, fmt, want)) return false;
            if (!ParseFmt(fmt, size, &found)) return false;
            have_fmt = true;
        } else if (std::memcmp(header, "data", 4) == 0 && !have_data) {
            found.data_offset = body;
            data_size = size;
            if (data_size > file_size - body) data_size = file_size - body;  // truncated file
            have_data = true;
        }
        // Chunk bodies of odd size are followed by one pad byte.
        pos = body + size + (size & 1u);
    }
    if (!have_fmt || !have_data) return false;
    found.frame_count = data_size / found.block_align;
    *format = found;
    return true;
}

unsigned HopFor(unsigned rate) {
    const double hop = std::floor(rate / kRecordsPerSecond + 0.5);
    return hop < 1 ? 1u : static_cast<unsigned>(hop);
}

std::uint64_t RecordCount(const WavFormat& format) {
    const unsigned hop = HopFor(format.rate);
    return (format.frame_count + hop - 1) / hop;
}

float ScaleMagnitude(double magnitude) {
    // A sine of amplitude A centred on a bin gives |X[k]| = A * sum(w) / 2 = A * N / 4.
    const double value = magnitude * 100.0 / (kWindowSize / 4.0);
    // Below -80 dB of full scale (the dither of 16-bit audio) shows as nothing.
    if (!(value >= 0.01)) return 0.0f;
    return value > 100.0 ? 100.0f : static_cast<float>(value);
}

bool AnalyseWindow(ReadAt read, void* context, const WavFormat& format, std::uint64_t first,
                   float* bins) {
    std::complex<double> x[kWindowSize];
    constexpr std::size_t kChunkFrames = 64;
    unsigned char raw[kChunkFrames * kMaxChannels * 4];
    std::size_t filled = 0;
    while (filled < kWindowSize) {
        const std::uint64_t frame = first + filled;
        std::size_t frames = kWindowSize - filled < kChunkFrames ? kWindowSize - filled : kChunkFrames;
        std::size_t present = 0;
        if (frame < format.frame_count) {
            const std::uint64_t left = format.frame_count - frame;
            present = left < frames ? static_cast<std::size_t>(left) : frames;
            const std::size_t bytes = present * format.block_align;
            if (!ReadExactly(read, context, format.data_offset + frame * format.block_align, raw, bytes))
                return false;
        }
        for (std::size_t i = 0; i < frames; ++i) {
            double sum = 0.0;
            if (i < present) {
                const unsigned char* p = raw + i * format.block_align;
                for (unsigned c = 0; c < format.channels; ++c) {
                    if (format.encoding == SampleEncoding::kPcm16) {
                        sum += static_cast<std::int16_t>(U16(p + 2 * c)) / 32768.0;
                    } else {
                        float f;
                        std::memcpy(&f, p + 4 * c, sizeof f);
                        // NaN and infinities are noise, not sound; overs clip as a DAC would.
                        if (!std::isfinite(f)) f = 0.0f;
                        sum += f > 1.0f ? 1.0 : (f < -1.0f ? -1.0 : f);
                    }
                }
            }
            const std::size_t n = filled + i;
            x[n] = Hann(n) * sum / format.channels;
        }
        filled += frames;
    }
    Transform(x, bins);
    return true;
}

void AnalyseMono(const double* mono, float* bins) {
    std::complex<double> x[kWindowSize];
    for (std::size_t n = 0; n < kWindowSize; ++n) x[n] = Hann(n) * mono[n];
    Transform(x, bins);
}

}  // namespace korvane::sim
