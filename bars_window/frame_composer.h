#pragma once
// Composes one frame of the bars into a 24-bit picture in memory: a grey gradient over
// the whole picture, then the bars standing on the bottom edge, red at the top of the
// picture to green at its foot. Plain C++: no Windows, so tests call it directly.
#include <cstddef>
#include <cstdint>

#include "band_reduction.h"

namespace bars {

// Colours as 0x00BBGGRR. Both gradients span the full picture height.
constexpr std::uint32_t kBackgroundTop = 0xDFDFDF;
constexpr std::uint32_t kBackgroundBottom = 0x888888;
constexpr std::uint32_t kBarTop = 0x0000FF;
constexpr std::uint32_t kBarBottom = 0x00FF00;

// A 24-bit picture, each pixel the bytes B, G, R. top_row points at the first byte of
// the top row; stride is the signed step in bytes from a row to the one below it
// (negative for a bottom-up bitmap). Only the 3 * width pixel bytes of a row are
// written, never the padding after them.
struct PixelBuffer {
    unsigned char* top_row;
    int width;
    int height;
    std::ptrdiff_t stride;
};

// One row's colour as a 16-pixel (48-byte) fill pattern, the smallest that 16-byte
// stores repeat in step with 3-byte pixels, followed by its first 16 bytes again so that
// 16 bytes can be read from any offset below 48.
struct RowColour {
    unsigned char bytes[64];
};

// Both gradients' colours for every row of a picture `height` rows tall. They depend on
// the height alone, so a canvas works them out once instead of in every frame.
class RowGradients {
public:
    explicit RowGradients(int height);
    ~RowGradients();
    RowGradients(const RowGradients&) = delete;
    RowGradients& operator=(const RowGradients&) = delete;
    // 0 when the table could not be made.
    int height() const { return height_; }
    const RowColour& Background(int y) const { return rows_[2 * y]; }
    // The bar colour XOR the background: a pixel turns from background to bar by it.
    const RowColour& BarDifference(int y) const { return rows_[2 * y + 1]; }

private:
    int height_ = 0;
    RowColour* rows_ = nullptr;  // background and bar difference of each row, in turn
};

// Paints the whole picture for these levels; nothing of the previous frame remains.
// Levels outside 0..100 (which the reduction never makes) are cut to the picture.
// `gradients` must be made for the picture's height.
void ComposeFrame(const BandLevels& levels, const PixelBuffer& picture, const RowGradients& gradients);
// The same, working the gradients out for this one frame.
void ComposeFrame(const BandLevels& levels, const PixelBuffer& picture);

}  // namespace bars
