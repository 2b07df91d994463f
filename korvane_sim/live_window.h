#pragma once
// The newest kWindowSize frames of a live sound stream, mixed to mono, for the live
// capture source. Plain C++ so that tests feed it bytes directly.
#include <cstddef>

#include "wav_source.h"

namespace korvane::sim {

class LiveWindow {
public:
    // Appends `count` interleaved frames of `channels` samples (1 to kMaxChannels) in
    // the given encoding; older frames fall out. Channels are averaged; NaN and infinite
    // float samples count as 0 and overs clip, as in the WAV source.
    void Push(const void* frames, std::size_t count, SampleEncoding encoding, unsigned channels);
    // Appends `count` frames of silence.
    void PushSilence(std::size_t count);
    // Forgets everything: the window is all silence.
    void Clear();
    // The 256 bins of the window, oldest frame first: the WAV source's analysis and scale.
    void Analyse(float* bins) const;

private:
    void Append(double sample);

    double samples_[kWindowSize] = {};  // a ring; next_ is the oldest frame
    std::size_t next_ = 0;
};

}  // namespace korvane::sim
