// libFuzzer entry: the input is a whole WAV file in memory. Besides the sanitizers'
// findings, a broken promise of the parser or the analysis aborts the run.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "wav_input_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (const char* broken = wav_check::CheckWavInput(data, size)) {
        std::fprintf(stderr, "wav_fuzzer: %s\n", broken);
        std::abort();
    }
    return 0;
}
