#pragma once
// The bar picture worked out pixel by pixel, straight from the painting rules: the
// background rectangle, then each bar's rectangle, a pixel's colour from its row alone.
// Plain and slow on purpose: the fast composer and the screen must match it exactly.
#include <cstdint>
#include <vector>

#include "band_reduction.h"

namespace reference {

// Colour (0x00BBGGRR) of row y of a vertical gradient from row 0 to row `height`.
std::uint32_t Gradient(std::uint32_t start, std::uint32_t end, int y, int height);

// The whole picture as 0x00BBGGRR values, row by row from the top.
std::vector<std::uint32_t> Frame(const bars::BandLevels& levels, int width, int height);

// All 18 bars at one level.
bars::BandLevels Uniform(float level);

}  // namespace reference
