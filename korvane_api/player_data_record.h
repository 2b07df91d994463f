#pragma once
// Layout of the record Korvane.dll delivers and copies: only the spectrum is fixed.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace korvane {

constexpr std::size_t kRecordSize = 7180;
constexpr std::size_t kSpectrumOffset = 2056;
constexpr std::size_t kSpectrumBinCount = 256;
constexpr std::size_t kShownBin = 120;
constexpr std::size_t kShownBinOffset = kSpectrumOffset + kShownBin * sizeof(float);

static_assert(sizeof(float) == 4, "spectrum bins are IEEE-754 single precision");
static_assert(kShownBinOffset == 2536, "bin 120 sits at byte 2536");
static_assert(kSpectrumOffset + kSpectrumBinCount * sizeof(float) == 3080,
              "spectrum ends at byte 3079");
static_assert(kSpectrumOffset + kSpectrumBinCount * sizeof(float) <= kRecordSize,
              "spectrum lies inside the record");

// A record as raw bytes; the library may hand it at any alignment, so floats are
// read with memcpy, never through a cast pointer.
struct PlayerDataRecord {
    unsigned char bytes[kRecordSize];
};
static_assert(sizeof(PlayerDataRecord) == kRecordSize, "record is exactly 7180 bytes");

// The spectrum bins of a record in memory; x86 is little-endian like the record.
inline const float* SpectrumBins(const void* record) {
    return reinterpret_cast<const float*>(static_cast<const unsigned char*>(record) + kSpectrumOffset);
}

inline float SpectrumBin(const void* record, std::size_t bin) {
    float value;
    std::memcpy(&value, static_cast<const unsigned char*>(record) + kSpectrumOffset + bin * sizeof(float),
                sizeof value);
    return value;
}

inline float ShownValue(const void* record) { return SpectrumBin(record, kShownBin); }

inline void SetSpectrumBin(void* record, std::size_t bin, float value) {
    std::memcpy(static_cast<unsigned char*>(record) + kSpectrumOffset + bin * sizeof(float), &value,
                sizeof value);
}

}  // namespace korvane
