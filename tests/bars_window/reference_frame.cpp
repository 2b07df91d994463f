#include "reference_frame.h"

#include <cmath>

namespace reference {

std::uint32_t Gradient(std::uint32_t start, std::uint32_t end, int y, int height) {
    double c;
    if (y <= 0)
        c = 0.0;
    else if (y >= height)
        c = 1.0;
    else
        c = static_cast<float>(y) / static_cast<float>(height);
    std::uint32_t colour = 0;
    for (int shift = 0; shift < 24; shift += 8) {
        const double s = (start >> shift) & 0xFF;
        const double e = (end >> shift) & 0xFF;
        colour |= static_cast<std::uint32_t>(std::trunc(c * e + (1.0 - c) * s)) << shift;
    }
    return colour;
}

std::vector<std::uint32_t> Frame(const bars::BandLevels& levels, int width, int height) {
    if (width <= 0 || height <= 0) return {};
    std::vector<std::uint32_t> frame(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) frame[static_cast<std::size_t>(y) * width + x] = Gradient(0xDFDFDF, 0x888888, y, height);

    // Rectangles as (left, top, width, height), kept in double so that nothing is cut
    // before the pixel test; NaN bounds hold no pixel.
    struct Rect {
        double left, top, right, bottom;
    } bars_rects[bars::kBandCount];
    const int bar_width = static_cast<int>(std::floor(static_cast<float>(width - 10) / 18.0f));
    const float scale = static_cast<float>(height) / 100.0f;
    float x = 0.0f;
    for (int i = 0; i < bars::kBandCount; ++i) {
        const float level = levels.level[i];
        const float bar_height = std::ceil(level * scale);
        const float top = std::floor(static_cast<float>(static_cast<double>(height) -
                                                        static_cast<double>(level) * static_cast<double>(scale)));
        bars_rects[i] = {x, top, static_cast<double>(x) + bar_width, static_cast<double>(top) + bar_height};
        x = x + static_cast<float>(bar_width) + 1.0f;
    }
    for (int y = 0; y < height; ++y) {
        const std::uint32_t colour = Gradient(0x0000FF, 0x00FF00, y, height);
        for (int px = 0; px < width; ++px)
            for (const Rect& r : bars_rects)
                if (px >= r.left && px < r.right && y >= r.top && y < r.bottom)
                    frame[static_cast<std::size_t>(y) * width + px] = colour;
    }
    return frame;
}

bars::BandLevels Uniform(float level) {
    bars::BandLevels levels;
    for (float& l : levels.level) l = level;
    return levels;
}

}  // namespace reference
