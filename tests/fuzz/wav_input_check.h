#pragma once
// What the WAV source promises for any file at all, checked on one file in memory: the
// fuzzer runs it on every input it makes, and wav_inputs_test on the committed inputs in
// each build (so on 32-bit Windows too).
#include <cstddef>
#include <cstdint>

namespace wav_check {

// nullptr when every promise held, else the one broken. A sanitizer finding ends the
// process before that.
const char* CheckWavInput(const std::uint8_t* data, std::size_t size);

}  // namespace wav_check
