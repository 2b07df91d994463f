#include "band_reduction.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

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

// The larger of the two by a strict ordered comparison: NaN is never taken.
inline float Larger(float maximum, float value) { return value > maximum ? value : maximum; }

// Largest bin of the band; a strict ordered comparison from 0 never takes NaN, zero
// or negative values. Four running maxima, merged at the end, give the same value as
// one (the order of strict comparisons does not change a maximum) without waiting on
// each comparison in turn.
float BandMaximum(const unsigned char* spectrum, const BandRange& band) {
    float maximum[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    int bin = band.first;
    for (; bin + 3 <= band.last; bin += 4)
        for (int lane = 0; lane < 4; ++lane) maximum[lane] = Larger(maximum[lane], BinValue(spectrum, bin + lane));
    for (; bin <= band.last; ++bin) maximum[0] = Larger(maximum[0], BinValue(spectrum, bin));
    return Larger(Larger(maximum[0], maximum[1]), Larger(maximum[2], maximum[3]));
}

// q^kCubeRootExponent = cbrt(q) * q^kExcess, the excess of the exponent over a third.
// Exact in double far beyond what matters here.
constexpr double kExcess = static_cast<double>(kCubeRootExponent) - 1.0 / 3.0;

// q^kCubeRootExponent rounded to single precision, for a normal float q below 1; 0 when the
// estimate lies too near the midpoint between two floats to tell which way the exact
// value rounds. The estimate is within 1e-13 of the exact value (relative), and results
// within about 1e-11 of a midpoint are given up, so the float is the one that the exact
// value, and any pow worth the name, rounds to.
float RootEstimate(float q) {
    std::uint32_t bits;
    std::memcpy(&bits, &q, sizeof bits);
    // q = 2^exponent * m, m in [1, 2).
    const int exponent = static_cast<int>(bits >> 23) - 127;  // -126 .. -1
    const std::uint32_t mantissa_bits = (bits & 0x7FFFFFu) | 0x3F800000u;
    float mantissa;
    std::memcpy(&mantissa, &mantissa_bits, sizeof mantissa);
    const double m = mantissa;
    const double u = m - 1.5;

    // cbrt(m): a polynomial fitted on [1, 2], within 1.4e-5, then one Halley step, which
    // cubes the error.
    double root = 1.1447142425533319 +
                  u * (0.2542836552950891 +
                       u * (-0.056478324967036295 + u * (0.022465761461601383 + u * -0.010102212336337315)));
    const double cube = root * root * root;
    root *= (cube + 2.0 * m) / (2.0 * cube + m);

    // cbrt(2^exponent) = 2^k * cbrt(2^j) with exponent = 3k + j, j in 0..2.
    const int k = (exponent + 129) / 3 - 43;
    const int j = exponent - 3 * k;
    constexpr double kCubeRootOfPowerOfTwo[3] = {1.0, 0x1.428a2f98d728bp+0, 0x1.965fea53d6e3dp+0};
    const std::uint64_t scale_bits = static_cast<std::uint64_t>(1023 + k) << 52;
    double scale;  // 2^k
    std::memcpy(&scale, &scale_bits, sizeof scale);

    // q^kExcess = e^x with |x| below 1e-6, so 1 + x + x^2/2 is within 2e-19. ln(m) comes
    // from a polynomial within 1.7e-6, which puts x within 2e-14.
    const double ln_m =
        0.4054651081081644 +
        u * (0.6666833904014415 +
             u * (-0.2222320215971427 +
                  u * (0.09823610103358489 +
                       u * (-0.049072643888413967 + u * (0.03043434585018267 + u * -0.017029610589181527)))));
    const double x = kExcess * (exponent * 0x1.62e42fefa39efp-1 + ln_m);
    const double estimate = root * kCubeRootOfPowerOfTwo[j] * scale * (1.0 + x * (1.0 + 0.5 * x));

    // Rounding to single precision drops the low 29 bits of the double; a midpoint
    // between two floats has them 1 followed by zeros. 2^16 units of the double either
    // side of it is 7e-12 to 1.5e-11 of the value.
    std::uint64_t estimate_bits;
    std::memcpy(&estimate_bits, &estimate, sizeof estimate_bits);
    const std::uint32_t dropped = static_cast<std::uint32_t>(estimate_bits) & ((1u << 29) - 1);
    constexpr std::uint32_t kMidpoint = 1u << 28, kDoubt = 1u << 16;
    if (dropped > kMidpoint - kDoubt && dropped < kMidpoint + kDoubt) return 0.0f;
    return static_cast<float>(estimate);
}

// Cube-root scale onto 0..100; every step is rounded to single precision.
float ScaledLevel(float maximum) {
    const float q = maximum / 100.0f;
    // A root of 1 or more: the level is cut to 100 whatever it was.
    if (q >= 1.0f) return 100.0f;
    const float level = CubeRootStep(q) * 100.0f;
    return level > 100.0f ? 100.0f : level;
}

}  // namespace

float CubeRootStep(float q) {
    if (q == 0.0f) return 0.0f;  // silence; pow gives +0 for either zero
    if (q >= std::numeric_limits<float>::min() && q < 1.0f) {
        const float root = RootEstimate(q);
        if (root != 0.0f) return root;
    }
    return static_cast<float>(std::pow(static_cast<double>(q), static_cast<double>(kCubeRootExponent)));
}

BandLevels ReduceBands(const void* spectrum) {
    const auto* bytes = static_cast<const unsigned char*>(spectrum);
    // All maxima first: the bands' roots then do not wait on each other's scans.
    float maxima[kBandCount];
    for (int band = 0; band < kBandCount; ++band) maxima[band] = BandMaximum(bytes, BandTable[band]);
    BandLevels levels;
    for (int band = 0; band < kBandCount; ++band) levels.level[band] = ScaledLevel(maxima[band]);
    return levels;
}

}  // namespace bars
