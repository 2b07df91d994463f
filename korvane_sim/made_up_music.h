#pragma once
// The demo's made-up music: a spectrum that is a pure function of time, so that
// deliveries and GetData agree on what is "playing" without sharing state.
#include <cstddef>

namespace korvane::sim {

// Fills 256 bins for time t (seconds): louder low bins, a beat, peaks that wander.
// Values stay within 0 to about 100.
void DemoSpectrum(double t, float* bins, std::size_t count);

}  // namespace korvane::sim
