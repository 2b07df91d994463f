#pragma once
// Reduction of one record's 256 spectrum bins to the 18 bar levels. Plain C++: no
// Windows, so tests call it directly.

namespace bars {

constexpr int kBandCount = 18;
constexpr int kSpectrumBinCount = 256;

// An inclusive range of bin indices.
struct BandRange {
    int first;
    int last;
};

// The bins behind each bar, left to right. The low bands overlap on purpose: bars 1
// and 2 both show bin 1, bars 3 and 4 share bin 2, bars 5 and 6 share bin 4.
constexpr BandRange BandTable[kBandCount] = {
    {0, 0},     {1, 1},     {1, 1},     {2, 2},     {2, 3},     {4, 4},
    {4, 5},     {6, 7},     {8, 11},    {12, 15},   {16, 23},   {24, 31},
    {32, 47},   {48, 63},   {64, 95},   {96, 127},  {128, 191}, {192, 255},
};

// One level per bar, 0 (no bar) to 100 (full height); never negative, never NaN.
struct BandLevels {
    float level[kBandCount];
};

// spectrum: the 256 little-endian single-precision bins of a record, at any
// alignment, read only during the call.
BandLevels ReduceBands(const void* spectrum);

// The cube-root step of the scale for a band maximum m at q = m / 100: for every float q
// the same float as (float)pow((double)q, (double)0x1.555556p-2f), with pow called only
// for shares of 1 and more, denormal ones, and about one in 4096 of the others.
float CubeRootStep(float q);

}  // namespace bars
