#pragma once
// A small in-place radix-2 FFT: the library needs one size (512), forty times a second.
#include <complex>
#include <cstddef>

namespace korvane::sim {

// Forward transform, X[k] = sum x[n] e^(-2πikn/N). n must be a power of two (1 allowed);
// false, with data untouched, otherwise.
bool Fft(std::complex<double>* data, std::size_t n);

}  // namespace korvane::sim
