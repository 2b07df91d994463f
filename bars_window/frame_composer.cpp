#include "frame_composer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
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
    const unsigned char pixel[3] = {Blend(start, end, 16, c), Blend(start, end, 8, c), Blend(start, end, 0, c)};
    for (int i = 0; i < 64; ++i) colour.bytes[i] = pixel[i % 3];  // B, G, R bytes
    return colour;
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

// 16 bytes of a row, as two words.
struct Chunk {
    std::uint64_t word[2];
};

inline Chunk Load(const unsigned char* p) {
    Chunk chunk;
    std::memcpy(chunk.word, p, sizeof chunk.word);
    return chunk;
}

// Writes 16 bytes: the background where the mask bytes are 0, the bar where they are 0xFF.
inline void Select(unsigned char* out, const unsigned char* mask, const Chunk& background, const Chunk& difference) {
    const Chunk m = Load(mask);
    const std::uint64_t word[2] = {background.word[0] ^ (difference.word[0] & m.word[0]),
                                   background.word[1] ^ (difference.word[1] & m.word[1])};
    std::memcpy(out, word, sizeof word);
}

// The bar mask of a strip covers 512 pixels: a whole number of 48-byte patterns, so that
// every strip starts its rows at the start of the pattern.
constexpr int kStripBytes = 32 * 48;

// From `row` down, bytes [begin, end) of each row are bar (fill 0xFF) or background (0).
struct Edge {
    int row, begin, end;
    unsigned char fill;
};

// Composes bytes [first, first + n) of every row, top to bottom. A mask of the bar
// columns, changed only at the edges, picks each byte from the row's two patterns, 16
// bytes at a time; the last 16 bytes of a row overlap the chunk before them rather than
// being written in pieces.
void ComposeStrip(unsigned char* row, std::ptrdiff_t stride, int height, int first, int n, const Edge* edges,
                  int edge_count, const RowGradients& gradients) {
    alignas(16) unsigned char mask[kStripBytes];
    std::memset(mask, 0, static_cast<std::size_t>(n));
    const int whole = n / 48 * 48;  // bytes in whole patterns
    const int last = n - 16;
    const int last_phase = last > 0 ? last % 48 : 0;
    int e = 0;
    for (int y = 0; y < height; ++y, row += stride) {
        for (; e < edge_count && edges[e].row <= y; ++e) {
            const int begin = std::max(edges[e].begin - first, 0);
            const int end = std::min(edges[e].end - first, n);
            for (int i = begin; i < end; ++i) mask[i] = edges[e].fill;
        }
        const unsigned char* background = gradients.Background(y).bytes;
        const unsigned char* difference = gradients.BarDifference(y).bytes;
        if (n < 16) {
            for (int i = 0; i < n; ++i) row[i] = static_cast<unsigned char>(background[i] ^ (difference[i] & mask[i]));
            continue;
        }
        const Chunk b0 = Load(background), b1 = Load(background + 16), b2 = Load(background + 32);
        const Chunk d0 = Load(difference), d1 = Load(difference + 16), d2 = Load(difference + 32);
        for (int i = 0; i < whole; i += 48) {
            Select(row + i, mask + i, b0, d0);
            Select(row + i + 16, mask + i + 16, b1, d1);
            Select(row + i + 32, mask + i + 32, b2, d2);
        }
        if (n - whole >= 16) Select(row + whole, mask + whole, b0, d0);
        if (n - whole >= 32) Select(row + whole + 16, mask + whole + 16, b1, d1);
        if (n > whole) Select(row + last, mask + last, Load(background + last_phase), Load(difference + last_phase));
    }
}

}  // namespace

RowGradients::RowGradients(int height) {
    if (height <= 0 || height > kMaxSide) return;
    rows_ = static_cast<RowColour*>(std::malloc(2 * static_cast<std::size_t>(height) * sizeof(RowColour)));
    if (!rows_) return;  // no table: frames composed with it paint nothing
    height_ = height;
    for (int y = 0; y < height_; ++y) {
        const RowColour background = GradientRow(kBackgroundTop, kBackgroundBottom, y, height_);
        const RowColour bar = GradientRow(kBarTop, kBarBottom, y, height_);
        rows_[2 * y] = background;
        for (int i = 0; i < 64; ++i) rows_[2 * y + 1].bytes[i] = static_cast<unsigned char>(bar.bytes[i] ^ background.bytes[i]);
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
    // A bar starts covering its columns at its top and, when rounding leaves its foot
    // above the bottom row, stops at its bottom.
    Edge edges[2 * kBandCount];
    int edge_count = 0;
    for (int i = 0; i < span_count; ++i) {
        const Span& span = spans[i];
        edges[edge_count++] = {span.top, 3 * span.left, 3 * span.right, 0xFF};
        if (span.bottom < height) edges[edge_count++] = {span.bottom, 3 * span.left, 3 * span.right, 0};
    }
    // Into row order, each edge placed by its rank: a fixed number of comparisons, where a
    // sort's branches would follow the levels and be mispredicted. Keys are unique (row,
    // then index); unused ones rank last.
    constexpr int kMaxEdges = 2 * kBandCount;
    std::int32_t keys[kMaxEdges];
    for (int i = 0; i < kMaxEdges; ++i) keys[i] = i < edge_count ? edges[i].row * kMaxEdges + i : INT32_MAX;
    Edge in_order[kMaxEdges];
    for (int i = 0; i < edge_count; ++i) {
        int rank = 0;
        for (int j = 0; j < kMaxEdges; ++j) rank += keys[j] < keys[i];
        in_order[rank] = edges[i];
    }

    const int row_bytes = 3 * width;
    for (int first = 0; first < row_bytes; first += kStripBytes)
        ComposeStrip(picture.top_row + first, picture.stride, height, first,
                     std::min(row_bytes - first, kStripBytes), in_order, edge_count, gradients);
}

}  // namespace bars
