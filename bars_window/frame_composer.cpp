#include "frame_composer.h"

#include <cmath>
#include <cstring>

namespace bars {
namespace {

// Sizes beyond this would make the single-precision bar positions inexact.
constexpr int kMaxSide = 1 << 24;

// One colour as a 4-pixel (12-byte) pattern, so runs are filled with 32-bit stores.
struct RowColour {
    std::uint32_t words[3];
    unsigned char b, g, r;
};

unsigned char Blend(std::uint32_t start, std::uint32_t end, int shift, double c) {
    const double s = (start >> shift) & 0xFF;
    const double e = (end >> shift) & 0xFF;
    return static_cast<unsigned char>(c * e + (1.0 - c) * s);  // truncated towards zero
}

// The colour of row y of a vertical gradient from row 0 to row `height`; the column
// plays no part, which is what lets whole runs be filled at once.
RowColour GradientRow(std::uint32_t start, std::uint32_t end, int y, int height) {
    const float c = y <= 0 ? 0.0f : y >= height ? 1.0f : static_cast<float>(y) / static_cast<float>(height);
    RowColour colour;
    colour.r = Blend(start, end, 0, c);
    colour.g = Blend(start, end, 8, c);
    colour.b = Blend(start, end, 16, c);
    const std::uint32_t pixel = colour.b | colour.g << 8 | static_cast<std::uint32_t>(colour.r) << 16;
    colour.words[0] = pixel | pixel << 24;         // B G R B
    colour.words[1] = pixel >> 8 | pixel << 16;    // G R B G
    colour.words[2] = pixel >> 16 | pixel << 8;    // R B G R
    return colour;
}

unsigned char* FillRun(unsigned char* p, int count, const RowColour& colour) {
    for (; count >= 4; count -= 4, p += 12) {
        std::memcpy(p, &colour.words[0], 4);
        std::memcpy(p + 4, &colour.words[1], 4);
        std::memcpy(p + 8, &colour.words[2], 4);
    }
    for (; count > 0; --count, p += 3) {
        p[0] = colour.b;
        p[1] = colour.g;
        p[2] = colour.r;
    }
    return p;
}

// The part of one bar's rectangle inside the picture: columns [left, right), rows
// [top, bottom).
struct Span {
    int left, right, top, bottom;
};

// Cuts [begin, end) to [0, limit); false when nothing is left (NaN included).
bool Clip(double begin, double end, int limit, int& out_begin, int& out_end) {
    if (!(end > begin) || !(end > 0.0) || !(begin < limit)) return false;
    out_begin = begin > 0.0 ? static_cast<int>(begin) : 0;
    out_end = end < limit ? static_cast<int>(end) : limit;
    return true;
}

// The visible bar rectangles, left to right; returns how many there are.
int BarSpans(const BandLevels& levels, int width, int height, Span (&spans)[kBandCount]) {
    // W - 10, not W - 17: the last bar may run past the right edge and is cut there.
    const int bar_width = static_cast<int>(std::floor(static_cast<float>(width - 10) / 18.0f));
    const float scale = static_cast<float>(height) / 100.0f;
    int count = 0;
    float x = 0.0f;
    for (int i = 0; i < kBandCount; ++i, x += static_cast<float>(bar_width + 1)) {
        const float level = levels.level[i];
        const float bar_height = std::ceil(level * scale);
        // From the exact product, not H minus the height: a level of 1.5625002 gives
        // height 2 at top 63, one row of it inside the picture.
        const float top = std::floor(static_cast<float>(height - static_cast<double>(level) * scale));
        Span& span = spans[count];
        if (Clip(x, static_cast<double>(x) + bar_width, width, span.left, span.right) &&
            Clip(top, static_cast<double>(top) + bar_height, height, span.top, span.bottom))
            ++count;
    }
    return count;
}

}  // namespace

void ComposeFrame(const BandLevels& levels, const PixelBuffer& picture) {
    const int width = picture.width;
    const int height = picture.height;
    if (!picture.top_row || width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return;

    Span spans[kBandCount];
    const int span_count = BarSpans(levels, width, height, spans);

    // Each row is written once, left to right, in runs of background and bar.
    unsigned char* row = picture.top_row;
    for (int y = 0; y < height; ++y, row += picture.stride) {
        const RowColour background = GradientRow(kBackgroundTop, kBackgroundBottom, y, height);
        const RowColour bar = GradientRow(kBarTop, kBarBottom, y, height);
        int done = 0;
        unsigned char* p = row;
        for (int i = 0; i < span_count; ++i) {
            const Span& span = spans[i];
            if (y < span.top || y >= span.bottom) continue;
            p = FillRun(p, span.left - done, background);
            p = FillRun(p, span.right - span.left, bar);
            done = span.right;
        }
        FillRun(p, width - done, background);
    }
}

}  // namespace bars
