#include "fft.h"

#include <cmath>
#include <utility>

namespace korvane::sim {

bool Fft(std::complex<double>* data, std::size_t n) {
    if (n == 0 || (n & (n - 1)) != 0) return false;
    // Bit-reversal permutation, then iterative butterflies.
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j |= bit;
        if (i < j) std::swap(data[i], data[j]);
    }
    const double pi = std::acos(-1.0);
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const std::size_t half = len / 2;
        for (std::size_t k = 0; k < half; ++k) {
            // Twiddles computed directly rather than by recurrence: no error build-up.
            const double angle = -2.0 * pi * static_cast<double>(k) / static_cast<double>(len);
            const std::complex<double> w(std::cos(angle), std::sin(angle));
            for (std::size_t start = 0; start < n; start += len) {
                const std::complex<double> even = data[start + k];
                const std::complex<double> odd = w * data[start + k + half];
                data[start + k] = even + odd;
                data[start + k + half] = even - odd;
            }
        }
    }
    return true;
}

}  // namespace korvane::sim
