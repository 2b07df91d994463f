// ComposeFrame against the pixel-by-pixel reference, and the picture's landmarks:
// row colours, bar rectangles, the cut last bar of a wider picture.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "frame_composer.h"
#include "reference_frame.h"

namespace {

using bars::BandLevels;

constexpr unsigned char kSentinel = 0x5A;
constexpr int kGuard = 64;  // bytes before and after the picture that must stay untouched

// A picture in memory laid out as a DIB: top-down or bottom-up, rows padded to a
// stride, with guard bytes around it.
class Picture {
public:
    Picture(int width, int height, bool bottom_up, int extra_stride = 0)
        : width_(width), height_(height), stride_(((width * 3 + 3) & ~3) + extra_stride),
          memory_(2 * kGuard + static_cast<std::size_t>(stride_) * (height > 0 ? height : 0), kSentinel),
          bottom_up_(bottom_up) {}

    bars::PixelBuffer Buffer() {
        unsigned char* first = memory_.data() + kGuard;
        if (!bottom_up_) return {first, width_, height_, stride_};
        return {first + static_cast<std::ptrdiff_t>(stride_) * (height_ - 1), width_, height_, -stride_};
    }

    std::uint32_t Pixel(int x, int y) {
        const unsigned char* p = Buffer().top_row + Buffer().stride * y + 3 * x;
        return p[0] << 16 | p[1] << 8 | p[2];  // B, G, R bytes to 0x00BBGGRR
    }

    std::vector<std::uint32_t> Pixels() {
        std::vector<std::uint32_t> pixels;
        for (int y = 0; y < height_; ++y)
            for (int x = 0; x < width_; ++x) pixels.push_back(Pixel(x, y));
        return pixels;
    }

    // Guards and row padding still hold the sentinel.
    bool OnlyPixelsWritten() const {
        for (std::size_t i = 0; i < memory_.size(); ++i) {
            const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(i) - kGuard;
            const bool pixel = offset >= 0 && offset < static_cast<std::ptrdiff_t>(stride_) * height_ &&
                               offset % stride_ < 3 * width_;
            if (!pixel && memory_[i] != kSentinel) return false;
        }
        return true;
    }

private:
    int width_, height_, stride_;
    std::vector<unsigned char> memory_;
    bool bottom_up_;
};

// Composed with the gradients made for this frame, or with a table made beforehand.
std::vector<std::uint32_t> Compose(const BandLevels& levels, int width, int height, bool bottom_up = false,
                                   int extra_stride = 0, const bars::RowGradients* gradients = nullptr) {
    Picture picture(width, height, bottom_up, extra_stride);
    if (gradients)
        bars::ComposeFrame(levels, picture.Buffer(), *gradients);
    else
        bars::ComposeFrame(levels, picture.Buffer());
    EXPECT_TRUE(picture.OnlyPixelsWritten()) << width << "x" << height;
    return picture.Pixels();
}

// Levels that sit on the edges of the rounding rules: whole pixel heights and the
// floats just beside them, 1.5625 and 1.5625002, out-of-range and non-finite values.
std::vector<float> EdgeLevels(int height) {
    const float scale = static_cast<float>(height) / 100.0f;
    std::vector<float> levels = {0.0f, -0.0f, 1.0f, 1.5625f, 1.5625002f, 10.0f, 21.544346f, 50.0f, 99.0f, 100.0f,
                                 9.999999f, 1e-45f, 100.0001f, -1.0f, 1e30f, -1e30f,
                                 std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                                 std::numeric_limits<float>::quiet_NaN()};
    for (int rows = 1; rows <= height; ++rows) {
        const float exact = static_cast<float>(rows) / scale;
        levels.push_back(exact);
        levels.push_back(std::nextafter(exact, 0.0f));
        levels.push_back(std::nextafter(exact, 200.0f));
    }
    return levels;
}

struct Size {
    int width, height;
};

// Many level sets, mixing edge values with random ones, on the program's picture and
// on sizes that stress the geometry: the cut last bar, bars of width 0 or less, a
// single row, odd strides, both row orders, pictures wider than a strip.
TEST(ComposeFrame, MatchesThePixelByPixelReference) {
    // 515 and 1100 pixels run past one 512-pixel mask strip: the last strip of 515 holds
    // 3 pixels, under one 16-byte store.
    const Size kSizes[] = {{180, 64}, {190, 64}, {200, 100}, {181, 63}, {28, 3}, {27, 5}, {10, 4},
                           {9, 3},    {1, 1},    {6, 2},     {0, 5},    {5, 0},  {515, 6}, {1100, 7}};
    std::mt19937 random(20240611);
    for (const Size& size : kSizes) {
        const std::vector<float> edges = EdgeLevels(size.height > 0 ? size.height : 1);
        std::uniform_int_distribution<std::size_t> pick_edge(0, edges.size() - 1);
        std::uniform_real_distribution<float> pick_level(0.0f, 100.0f);
        const int sets = size.width * size.height >= 180 * 64 ? 150 : 40;
        const bars::RowGradients gradients(size.height);
        for (int set = 0; set < sets; ++set) {
            BandLevels levels;
            for (float& level : levels.level) level = random() % 3 ? edges[pick_edge(random)] : pick_level(random);
            const bool bottom_up = set % 2;
            const int extra_stride = set % 3 == 0 ? 4 : 0;
            const auto want = reference::Frame(levels, size.width, size.height);
            const auto got = Compose(levels, size.width, size.height, bottom_up, extra_stride,
                                     set % 4 < 2 ? &gradients : nullptr);
            ASSERT_EQ(got, want) << size.width << "x" << size.height << ", set " << set;
        }
    }
}

// Row colours of both gradients on the 64-row picture: bars full height so that
// column 0 shows the bar gradient and column 9 (a gap) the background.
TEST(ComposeFrame, RowColours) {
    Picture picture(180, 64, false);
    bars::ComposeFrame(reference::Uniform(100.0f), picture.Buffer());
    const struct {
        int row;
        std::uint32_t background, bar;
    } kRows[] = {
        {0, 0xDFDFDF, 0x0000FF},
        {1, 0xDDDDDD, 0x0003FB},
        {32, 0xB3B3B3, 0x007F7F},
        {63, 0x898989, 0x00FB03},
    };
    for (const auto& row : kRows) {
        EXPECT_EQ(picture.Pixel(9, row.row), row.background) << "row " << row.row;
        EXPECT_EQ(picture.Pixel(0, row.row), row.bar) << "row " << row.row;
    }
}

// The bar rectangles on the 180 x 64 picture: bars at x 0, 10, ... 170, nine
// columns wide, rows [top, 64) painted; columns 9, 19, ... 179 always background.
TEST(ComposeFrame, BarRectangles) {
    const struct {
        float level;
        int top;  // first painted row; 64 for none
    } kBars[] = {
        {0.0f, 64}, {1.0f, 63}, {1.5625f, 63}, {1.5625002f, 63}, {10.0f, 57},
        {21.544346f, 50}, {50.0f, 32}, {99.0f, 0}, {100.0f, 0},
    };
    for (const auto& bar : kBars) {
        Picture picture(180, 64, false);
        bars::ComposeFrame(reference::Uniform(bar.level), picture.Buffer());
        for (int x = 0; x < 180; ++x) {
            const bool in_bar = x % 10 != 9;
            for (int y = 0; y < 64; ++y) {
                const bool painted = in_bar && y >= bar.top;
                const std::uint32_t want = painted ? reference::Gradient(0x0000FF, 0x00FF00, y, 64)
                                                   : reference::Gradient(0xDFDFDF, 0x888888, y, 64);
                ASSERT_EQ(picture.Pixel(x, y), want) << "level " << bar.level << " at " << x << "," << y;
            }
        }
    }
}

// On a 190-pixel picture the bars are 10 wide at 0, 11, ... 187; the last keeps only
// its first 3 columns.
TEST(ComposeFrame, LastBarIsCutOnAWiderPicture) {
    Picture picture(190, 64, false);
    bars::ComposeFrame(reference::Uniform(100.0f), picture.Buffer());
    const std::uint32_t bar = reference::Gradient(0x0000FF, 0x00FF00, 40, 64);
    for (int x = 0; x < 190; ++x) {
        const bool in_bar = x % 11 != 10;
        EXPECT_EQ(picture.Pixel(x, 40) == bar, in_bar) << "column " << x;
    }
    EXPECT_EQ(picture.Pixel(187, 0), 0x0000FFu);
    EXPECT_EQ(picture.Pixel(189, 63), 0x00FB03u);
}

// Every pixel is repainted: nothing of the frame before shows through.
TEST(ComposeFrame, LeavesNothingOfThePreviousFrame) {
    Picture picture(180, 64, true);
    bars::ComposeFrame(reference::Uniform(100.0f), picture.Buffer());
    BandLevels levels = reference::Uniform(0.0f);
    levels.level[5] = 50.0f;
    bars::ComposeFrame(levels, picture.Buffer());
    EXPECT_EQ(picture.Pixels(), reference::Frame(levels, 180, 64));
}

}  // namespace
