// libFuzzer entry: the input is a whole WAV file in memory. It goes through the parser as
// the stand-in's WAV source reads a file, then through the analysis of its records. Besides
// the sanitizers' findings, a broken promise of either function aborts the run.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wav_source.h"

using namespace korvane::sim;

namespace {

struct Memory {
    const std::uint8_t* data;
    std::size_t size;
};

std::size_t ReadMemory(void* context, std::uint64_t offset, void* out, std::size_t size) {
    const auto* m = static_cast<const Memory*>(context);
    if (offset >= m->size) return 0;
    const std::size_t n = size < m->size - offset ? size : static_cast<std::size_t>(m->size - offset);
    std::memcpy(out, m->data + offset, n);
    return n;
}

void Require(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "wav_fuzzer: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Memory file{data, size};
    WavFormat format;
    if (!ParseWav(ReadMemory, &file, size, &format)) return 0;
    Require(format.channels >= 1 && format.channels <= kMaxChannels, "channel count out of range");
    Require(format.rate >= kMinRate && format.rate <= kMaxRate, "rate out of range");
    Require(format.block_align == format.channels * (format.encoding == SampleEncoding::kPcm16 ? 2u : 4u),
            "block align does not match the encoding");
    Require(format.data_offset <= size && format.frame_count <= (size - format.data_offset) / format.block_align,
            "frames lie past the end of the file");

    // A file's records can run to thousands: its first two, its last (which runs past the
    // end) and one that starts past the end cover the paths.
    const std::uint64_t records = RecordCount(format);
    const std::uint64_t chosen[] = {0, 1, records > 0 ? records - 1 : 0, records};
    for (std::uint64_t r : chosen) {
        float bins[kBinCount];
        Require(AnalyseWindow(ReadMemory, &file, format, r * HopFor(format.rate), bins),
                "a read inside the file failed");
        for (float v : bins) Require(v >= 0.0f && v <= 100.0f, "bin outside 0..100");
    }
    return 0;
}
