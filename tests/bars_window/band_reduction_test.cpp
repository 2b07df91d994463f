// ReduceBands on whole spectra: band ranges, the strict ordered maximum and the
// cube-root scale, compared bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "band_reduction.h"

namespace {

using bars::BandLevels;
using bars::CubeRootStep;
using bars::kBandCount;
using bars::ReduceBands;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::uint32_t Bits(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

float FromBits(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// The cube-root step as the scale defines it, through this build's pow.
float PowRoot(float q) { return static_cast<float>(std::pow(static_cast<double>(q), static_cast<double>(0x1.555556p-2f))); }

// The level of a band maximum, every step in single precision.
float PowLevel(float maximum) {
    const float level = PowRoot(maximum / 100.0f) * 100.0f;
    return level > 100.0f ? 100.0f : level;
}

// Counts the floats with bit patterns [first, last) whose step differs from pow's, and
// shows the first few.
long RootMismatches(std::uint32_t first, std::uint32_t last, std::uint32_t stride = 1) {
    long mismatches = 0;
    for (std::uint64_t bits = first; bits < last; bits += stride) {
        const float q = FromBits(static_cast<std::uint32_t>(bits));
        const float got = CubeRootStep(q), want = PowRoot(q);
        if (Bits(got) != Bits(want) && !(std::isnan(got) && std::isnan(want)) && ++mismatches <= 5)
            ADD_FAILURE() << std::hexfloat << "q " << q << ": got " << got << ", pow gives " << want;
    }
    return mismatches;
}

struct Spectrum {
    float bins[256];
    explicit Spectrum(float fill) {
        for (float& bin : bins) bin = fill;
    }
};

// Bit-exact: tells 9.999999 from 10 and a negative zero from zero.
void ExpectLevels(const BandLevels& actual, const float (&expected)[kBandCount]) {
    for (int band = 0; band < kBandCount; ++band)
        EXPECT_EQ(Bits(actual.level[band]), Bits(expected[band]))
            << "band " << band << ": got " << actual.level[band] << ", want " << expected[band];
}

struct ReductionCase {
    const char* name;
    float fill;                                 // every bin, before `bins`
    std::vector<std::pair<int, float>> bins;    // (bin, value)
    float rest;                                 // expected level of every band not in `levels`
    std::vector<std::pair<int, float>> levels;  // (band, expected level)
};

const ReductionCase kReductionCases[] = {
    {"all zero", 0.0f, {}, 0.0f, {}},
    {"bin 0 at 12.5 gives exactly 50", 0.0f, {{0, 12.5f}}, 0.0f, {{0, 50.0f}}},
    {"bin 1 feeds bars 1 and 2", 0.0f, {{1, 1.0f}}, 0.0f, {{1, 21.544346f}, {2, 21.544346f}}},
    {"bin 2 feeds bars 3 and 4", 0.0f, {{2, 1.0f}}, 0.0f, {{3, 21.544346f}, {4, 21.544346f}}},
    {"bin 3 feeds bar 4 only", 0.0f, {{3, 1.0f}}, 0.0f, {{4, 21.544346f}}},
    {"bin 4 feeds bars 5 and 6", 0.0f, {{4, 1.0f}}, 0.0f, {{5, 21.544346f}, {6, 21.544346f}}},
    {"bin 5 feeds bar 6 only", 0.0f, {{5, 1.0f}}, 0.0f, {{6, 21.544346f}}},
    {"negative and NaN never taken, before or after a value", 0.0f,
     {{8, -5.0f}, {9, kNaN}, {10, 0.5f}, {12, 0.5f}, {13, kNaN}, {14, -kInf}},
     0.0f, {{8, 17.099758f}, {9, 17.099758f}}},
    {"all NaN", kNaN, {}, 0.0f, {}},
    {"all negative", -1.0f, {}, 0.0f, {}},
    {"all negative zero", -0.0f, {}, 0.0f, {}},
    {"all 0.1 gives 9.999999, not 10", 0.1f, {}, 9.999999f, {}},
    {"all exactly 100", 100.0f, {}, 100.0f, {}},
    {"all 100.0001 is cut to 100", 100.0001f, {}, 100.0f, {}},
    {"all 1e30 is cut to 100", 1e30f, {}, 100.0f, {}},
    {"all infinite is cut to 100", kInf, {}, 100.0f, {}},
    {"bin 200 at 50 over ones", 1.0f, {{200, 50.0f}}, 21.544346f, {{17, 79.37005f}}},
    {"largest of a wide band wins wherever it sits", 0.0f, {{64, 0.5f}, {95, 1.0f}, {80, 0.001f}}, 0.0f,
     {{14, 21.544346f}}},
};

TEST(ReduceBands, Cases) {
    for (const ReductionCase& c : kReductionCases) {
        SCOPED_TRACE(c.name);
        Spectrum spectrum(c.fill);
        for (const auto& [bin, value] : c.bins) spectrum.bins[bin] = value;
        float expected[kBandCount];
        for (float& level : expected) level = c.rest;
        for (const auto& [band, level] : c.levels) expected[band] = level;
        ExpectLevels(ReduceBands(spectrum.bins), expected);
    }
}

// The cube-root scale with the exponent 0x3EAAAAAB, each step in single precision.
TEST(ReduceBands, ScaleOfABandMaximum) {
    const std::pair<float, float> kScale[] = {
        {0.001f, 2.1544344f}, {0.1f, 9.999999f}, {0.5f, 17.099758f}, {1.0f, 21.544346f},
        {10.0f, 46.415886f},  {12.5f, 50.0f},    {25.0f, 62.996056f}, {50.0f, 79.37005f},
        {99.0f, 99.66555f},   {100.0f, 100.0f},  {150.0f, 100.0f},    {1e30f, 100.0f},
        {kInf, 100.0f},
    };
    for (const auto& [maximum, level] : kScale) {
        Spectrum spectrum(0.0f);
        spectrum.bins[0] = maximum;
        const float got = ReduceBands(spectrum.bins).level[0];
        EXPECT_EQ(Bits(got), Bits(level)) << "maximum " << maximum << ": got " << got << ", want " << level;
    }
}

// A single bin raises exactly the bands whose range holds it, for every bin.
TEST(ReduceBands, EveryBinLandsInItsBands) {
    const std::pair<int, int> kRanges[kBandCount] = {
        {0, 0},   {1, 1},   {1, 1},   {2, 2},   {2, 3},   {4, 4},   {4, 5},    {6, 7},     {8, 11},
        {12, 15}, {16, 23}, {24, 31}, {32, 47}, {48, 63}, {64, 95}, {96, 127}, {128, 191}, {192, 255},
    };
    for (int bin = 0; bin < 256; ++bin) {
        Spectrum spectrum(0.0f);
        spectrum.bins[bin] = 100.0f;
        const BandLevels levels = ReduceBands(spectrum.bins);
        for (int band = 0; band < kBandCount; ++band) {
            const bool holds = kRanges[band].first <= bin && bin <= kRanges[band].second;
            EXPECT_EQ(levels.level[band], holds ? 100.0f : 0.0f) << "bin " << bin << ", band " << band;
        }
    }
}

}  // namespace

namespace {

// Every float of [1/8, 1): each mantissa with each exponent modulo 3. Below that the
// step differs only by an exact power of two and a correction that changes smoothly with
// the exponent, which the next test samples in every binade.
TEST(CubeRootStep, EqualsPowOnEveryFloatOfThreeBinades) {
    EXPECT_EQ(RootMismatches(Bits(0.125f), Bits(1.0f)), 0);
}

// Every binade from the denormals up to past 1 (where pow is used): its first and last
// 2048 floats and every 997th between, and the values pow treats specially.
TEST(CubeRootStep, EqualsPowInEveryBinadeAndOnSpecialValues) {
    for (std::uint32_t exponent = 0; exponent <= 130; ++exponent) {
        const std::uint32_t first = exponent << 23, end = (exponent + 1) << 23;
        SCOPED_TRACE(exponent);
        EXPECT_EQ(RootMismatches(first, first + 2048), 0);
        EXPECT_EQ(RootMismatches(first + 2048, end - 2048, 997), 0);
        EXPECT_EQ(RootMismatches(end - 2048, end), 0);
    }
    const float kSpecial[] = {0.0f, -0.0f, 1e-45f, std::numeric_limits<float>::min(), 1.0f, 2.0f,
                              std::numeric_limits<float>::max(), kInf, -1.0f, kNaN};
    for (float q : kSpecial) {
        const float got = CubeRootStep(q), want = PowRoot(q);
        EXPECT_TRUE(Bits(got) == Bits(want) || (std::isnan(got) && std::isnan(want)))
            << "q " << q << ": got " << got << ", pow gives " << want;
    }
}

// A million random band maxima through ReduceBands, over the whole range a spectrum
// may hold: uniform on 0..100, any bit pattern up to 200, and integers.
TEST(ReduceBands, MillionRandomMaximaGiveThePowLevels) {
    std::mt19937 random(20260611);
    std::uniform_real_distribution<float> uniform(0.0f, 100.0f);
    std::uniform_int_distribution<std::uint32_t> pattern(0, Bits(200.0f));
    Spectrum spectrum(0.0f);
    long mismatches = 0;
    for (int i = 0; i < 1000000; ++i) {
        const int kind = i % 3;
        const float maximum = kind == 0 ? uniform(random)
                              : kind == 1 ? FromBits(pattern(random))
                                          : static_cast<float>(random() % 201);
        spectrum.bins[0] = maximum;  // bin 0 is band 0 alone
        const float got = ReduceBands(spectrum.bins).level[0], want = PowLevel(maximum);
        if (Bits(got) != Bits(want) && ++mismatches <= 5)
            ADD_FAILURE() << std::hexfloat << "maximum " << maximum << ": got " << got << ", want " << want;
    }
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
