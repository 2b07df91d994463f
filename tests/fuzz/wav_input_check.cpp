#include "wav_input_check.h"

#include <cstring>

#include "wav_source.h"

using namespace korvane::sim;

namespace wav_check {
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

}  // namespace

const char* CheckWavInput(const std::uint8_t* data, std::size_t size) {
    // The file goes through the parser as the stand-in reads one, then through the
    // analysis of its records.
    Memory file{data, size};
    WavFormat format;
    if (!ParseWav(ReadMemory, &file, size, &format)) return nullptr;
    if (format.channels < 1 || format.channels > kMaxChannels) return "channel count out of range";
    if (format.rate < kMinRate || format.rate > kMaxRate) return "rate out of range";
    if (format.block_align != format.channels * (format.encoding == SampleEncoding::kPcm16 ? 2u : 4u))
        return "block align does not match the encoding";
    if (format.data_offset > size || format.frame_count > (size - format.data_offset) / format.block_align)
        return "frames lie past the end of the file";

    // A file's records can run to thousands: its first two, its last (which runs past the
    // end) and one that starts past the end cover the paths.
    const std::uint64_t records = RecordCount(format);
    const std::uint64_t chosen[] = {0, 1, records > 0 ? records - 1 : 0, records};
    for (std::uint64_t r : chosen) {
        float bins[kBinCount];
        if (!AnalyseWindow(ReadMemory, &file, format, r * HopFor(format.rate), bins))
            return "a read inside the file failed";
        for (float v : bins)
            if (!(v >= 0.0f && v <= 100.0f)) return "bin outside 0..100";
    }
    return nullptr;
}

}  // namespace wav_check
