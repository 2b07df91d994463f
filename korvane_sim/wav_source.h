#pragma once
// The WAV source: a RIFF/WAVE file read through a caller's read function, turned into
// spectrum records. Plain C++ so that tests drive it with bytes in memory.
#include <cstddef>
#include <cstdint>

namespace korvane::sim {

// Reads up to `size` bytes at `offset` into `out`; returns how many it read (fewer at the
// end of the file or on an error).
using ReadAt = std::size_t (*)(void* context, std::uint64_t offset, void* out, std::size_t size);

enum class SampleEncoding { kPcm16, kFloat32 };

struct WavFormat {
    SampleEncoding encoding;
    unsigned channels;      // 1 to kMaxChannels
    unsigned rate;          // frames a second
    unsigned block_align;   // bytes per frame
    std::uint64_t data_offset;
    std::uint64_t frame_count;  // whole frames present in the file, 0 for an empty file
};

constexpr unsigned kMaxChannels = 8;
constexpr unsigned kMinRate = 1000;
constexpr unsigned kMaxRate = 768000;
constexpr std::size_t kWindowSize = 512;  // samples per analysis window: 256 bins
constexpr std::size_t kBinCount = 256;
constexpr double kRecordsPerSecond = 40.0;

// Reads the header of a file of `file_size` bytes. False for anything it cannot play:
// not RIFF/WAVE, no fmt or data chunk, or a format other than 16-bit PCM or 32-bit float
// (plain or WAVE_FORMAT_EXTENSIBLE). A data chunk that claims more than the file holds
// is cut to what is there.
bool ParseWav(ReadAt read, void* context, std::uint64_t file_size, WavFormat* format);

// Frames between the starts of successive windows.
unsigned HopFor(unsigned rate);
// Records one pass through the file makes: one per hop that starts inside the data.
std::uint64_t RecordCount(const WavFormat& format);

// The 256 bins of the window starting at frame `first`: channels mixed to mono, Hann
// window, magnitude scaled so that a full-scale sine centred on a bin gives 100
// (see docs/wav_source.md). Frames past the end count as silence. False on a read error.
bool AnalyseWindow(ReadAt read, void* context, const WavFormat& format, std::uint64_t first,
                   float* bins);

// The same analysis of kWindowSize mono samples already in memory (the live source's).
void AnalyseMono(const double* mono, float* bins);

// The scale on its own: |X[k]| of a 512-point Hann-windowed transform to 0..100.
float ScaleMagnitude(double magnitude);

}  // namespace korvane::sim
