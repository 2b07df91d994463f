#include "band_reduction.h"

#include <cmath>
#include <cstring>

namespace bars {
namespace {

// The single-precision value nearest to one third (0x3EAAAAAB), not the exact third:
// the levels of the scale follow from it (0.1 gives 9.999999, not 10).
constexpr float kCubeRootExponent = 0x1.555556p-2f;

float BinValue(const unsigned char* spectrum, int bin) {
    float value;
    std::memcpy(&value, spectrum + bin * sizeof(float), sizeof value);
    return value;
}

// Largest bin of the band; a strict ordered comparison from 0 never takes NaN, zero
// or negative values.
float BandMaximum(const unsigned char* spectrum, const BandRange& band) {
    float maximum = 0.0f;
    for (int bin = band.first; bin <= band.last; ++bin) {
        const float value = BinValue(spectrum, bin);
        if (value > maximum) maximum = value;
    }
    return maximum;
}

// Cube-root scale onto 0..100; every step is rounded to single precision.
float ScaledLevel(float maximum) {
    const float q = maximum / 100.0f;
    const float r = static_cast<float>(std::pow(static_cast<double>(q), static_cast<double>(kCubeRootExponent)));
    const float level = r * 100.0f;
    return level > 100.0f ? 100.0f : level;
}

}  // namespace

BandLevels ReduceBands(const void* spectrum) {
    const auto* bytes = static_cast<const unsigned char*>(spectrum);
    BandLevels levels;
    for (int band = 0; band < kBandCount; ++band)
        levels.level[band] = ScaledLevel(BandMaximum(bytes, BandTable[band]));
    return levels;
}

}  // namespace bars
