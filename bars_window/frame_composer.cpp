#include "frame_composer.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace bars {
namespace {

// Far beyond any window (GDI itself stops at 32767), and small enough that the bar
// positions stay exact in single precision.
constexpr int kMaxSide = 1 << 15;

unsigned char Blend(std::uint32_t start, std::uint32_t end, int shift, double c) {
    const double s = (start >> shift) & 0xFF;
    const double e = (end >> shift) & 0xFF;
    return static_cast<unsigned char>(c * e + (1.0 - c) * s);  // truncated towards zero
}

// The colour of row y of a vertical gradient from row 0 to row `height`; the column
// plays no part, which is what lets whole runs be filled at once.
RowColour GradientRow(std::uint32_t start, std::uint32_t end, int y, int height) {
    RowColour colour;
    const float c = y <= 0 ? 0.0f : y >= height ? 1.0f : static_cast<float>(y) / static_cast<float>(height);
    const std::uint32_t pixel = Blend(start, end, 16, c) | Blend(start, end, 8, c) << 8 |
                                static_cast<std::uint32_t>(Blend(start, end, 0, c)) << 16;  // B, G, R bytes
    const std::uint32_t words[3] = {
        pixel | pixel << 24,        // B G R B
        pixel >> 8 | pixel << 16,   // G R B G
        pixel >> 16 | pixel << 8,   // R B G R
    };
    std::memcpy(colour.bytes, words, 12);
    std::memcpy(colour.bytes + 12, colour.bytes, 12);
    std::memcpy(colour.bytes + 24, colour.bytes, 24);
    std::memcpy(colour.bytes + 48, colour.bytes, 16);
    return colour;
}

// Copies n bytes forward from src to dst, in order, as a string move does: with src
// 48 bytes behind dst it repeats what it has just written. Under x86 emulation one
// string move is several times cheaper than the 16-byte stores for the same bytes.
inline void CopyForward(unsigned char* dst, const unsigned char* src, std::size_t n) {
#if defined(__i386__) || defined(__x86_64__)
    std::size_t words = n / 4, rest = n % 4;
    asm volatile("rep movsl" : "+D"(dst), "+S"(src), "+c"(words) : : "memory");
    asm volatile("rep movsb" : "+D"(dst), "+S"(src), "+c"(rest) : : "memory");
#else
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
#endif
}

// Fills exactly the n bytes at p, which start on a pixel, with the colour; nothing
// beyond them is written, so a group of bars can repeat itself from its own start.
// Chunks come from fixed pattern offsets where it can: a run-time offset into the
// pattern costs more than the stores themselves under x86 emulation.
// Inlined: the calls would cost more than the stores of a short run.
[[gnu::always_inline]] inline void FillRun(unsigned char* p, std::ptrdiff_t n, const RowColour& colour) {
    const unsigned char* pattern = colour.bytes;
    if (n >= 48) {
        std::memcpy(p, pattern, 16);
        std::memcpy(p + 16, pattern + 16, 16);
        std::memcpy(p + 32, pattern + 32, 16);
        if (n > 48) CopyForward(p + 48, p, static_cast<std::size_t>(n - 48));  // the pattern repeats every 48
        return;
    }
    if (n >= 16) {
        // One or two chunks from the start, the last 16 bytes from where they fall in the
        // pattern (at most offset 32, inside its 64 bytes).
        std::memcpy(p, pattern, 16);
        if (n >= 32) std::memcpy(p + 16, pattern + 16, 16);
        std::memcpy(p + n - 16, pattern + n - 16, 16);
        return;
    }
    // Under 16 bytes, in fixed-size pieces (a variable-length copy becomes a byte-wise
    // string move).
    if (n & 8) {
        std::memcpy(p, pattern, 8);
        p += 8;
        pattern += 8;
    }
    if (n & 4) {
        std::memcpy(p, pattern, 4);
        p += 4;
        pattern += 4;
    }
    if (n & 2) {
        std::memcpy(p, pattern, 2);
        p += 2;
        pattern += 2;
    }
    if (n & 1) *p = *pattern;
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

RowGradients::RowGradients(int height) {
    if (height <= 0 || height > kMaxSide) return;
    rows_ = static_cast<RowColour*>(std::malloc(2 * static_cast<std::size_t>(height) * sizeof(RowColour)));
    if (!rows_) return;  // no table: frames composed with it paint nothing
    height_ = height;
    for (int y = 0; y < height_; ++y) {
        rows_[2 * y] = GradientRow(kBackgroundTop, kBackgroundBottom, y, height_);
        rows_[2 * y + 1] = GradientRow(kBarTop, kBarBottom, y, height_);
    }
}

RowGradients::~RowGradients() { std::free(rows_); }

void ComposeFrame(const BandLevels& levels, const PixelBuffer& picture) {
    if (picture.height > 0 && picture.height <= kMaxSide) ComposeFrame(levels, picture, RowGradients(picture.height));
}

void ComposeFrame(const BandLevels& levels, const PixelBuffer& picture, const RowGradients& gradients) {
    const int width = picture.width;
    const int height = picture.height;
    if (!picture.top_row || width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide ||
        gradients.height() != height)
        return;

    Span spans[kBandCount];
    const int span_count = BarSpans(levels, width, height, spans);

    // Each row is written once, left to right, in runs of background and groups of bars.
    // Neighbouring bars of equal width and spacing make a pattern one bar and one gap
    // long: it is written once and repeated by a string move over the rest of the
    // group, which under x86 emulation costs far less than a run per bar.
    auto covers = [](const Span& span, int y) { return y >= span.top && y < span.bottom; };
    unsigned char* row = picture.top_row;
    for (int y = 0; y < height; ++y, row += picture.stride) {
        const RowColour& background = gradients.Background(y);
        const RowColour& bar = gradients.Bar(y);
        unsigned char* done = row;
        for (int i = 0; i < span_count;) {
            const Span& first = spans[i];
            if (!covers(first, y)) {
                ++i;
                continue;
            }
            unsigned char* const start = row + 3 * first.left;
            FillRun(done, start - done, background);
            const int bar_width = first.right - first.left;
            FillRun(start, 3 * static_cast<std::ptrdiff_t>(bar_width), bar);
            int last = i;
            const int step = i + 1 < span_count ? spans[i + 1].left - first.left : 0;
            // Every bar but the last of the group must be whole (only the last may be cut
            // at the edge) and the next one exactly one step on.
            while (last + 1 < span_count && covers(spans[last + 1], y) &&
                   spans[last + 1].left - spans[last].left == step &&
                   spans[last].right - spans[last].left == bar_width)
                ++last;
            if (last > i) {
                FillRun(row + 3 * first.right, 3 * static_cast<std::ptrdiff_t>(step - bar_width), background);
                const int repeated = spans[last].right - first.left - step;
                CopyForward(start + 3 * step, start, 3 * static_cast<std::size_t>(repeated));
            }
            done = row + 3 * spans[last].right;
            i = last + 1;
        }
        FillRun(done, row + 3 * static_cast<std::ptrdiff_t>(width) - done, background);
    }
}

}  // namespace bars
