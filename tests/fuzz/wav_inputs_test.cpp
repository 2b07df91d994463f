// The fuzzer's committed inputs, replayed in every build: the sox-made seeds, and each
// input that once broke the parser or the analysis (wav_crashes/, with the fix in its
// commit).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "wav_input_check.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> ReadFile(const fs::path& path) {
    std::vector<std::uint8_t> bytes;
    if (FILE* f = std::fopen(path.string().c_str(), "rb")) {
        std::uint8_t buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.insert(bytes.end(), buffer, buffer + n);
        std::fclose(f);
    }
    return bytes;
}

TEST(WavInputs, EveryCommittedInputKeepsThePromises) {
    const fs::path inputs(KORVANE_FUZZ_INPUTS);
    // A wrong folder must not pass as an empty one.
    ASSERT_TRUE(fs::is_directory(inputs / "wav_seeds")) << inputs;
    for (const char* dir : {"wav_seeds", "wav_crashes"}) {
        if (!fs::is_directory(inputs / dir)) continue;
        for (const fs::directory_entry& entry : fs::directory_iterator(inputs / dir)) {
            const std::string name = entry.path().filename().string();
            const std::vector<std::uint8_t> bytes = ReadFile(entry.path());
            ASSERT_EQ(bytes.size(), entry.file_size()) << name;
            if (const char* broken = wav_check::CheckWavInput(bytes.data(), bytes.size()))
                ADD_FAILURE() << dir << "/" << name << ": " << broken;
        }
    }
}

}  // namespace
