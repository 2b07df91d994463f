#pragma once
// What the WAV source's Windows-side tests share: signal files made by sox, the
// environment that names them, and the stand-in loaded into this process.
#include <windows.h>

#include <array>
#include <string>
#include <vector>

namespace wav_test {

// signals/<name>.wav in the build tree.
std::wstring Signal(const std::wstring& name);

// Sets an environment variable for this process and the programs it starts; the
// destructor removes it again.
class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, const std::wstring& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const wchar_t* name_;
};

using Bins = std::array<float, 256>;

// The full stand-in loaded into this process with KORVANE_SIM_WAV naming `wav` (and
// KORVANE_SIM_WAV_LOOP=1 when `loop`); its deliveries are kept. Released on destruction.
class LoadedStandIn {
public:
    LoadedStandIn(const std::wstring& wav, bool loop = false);
    ~LoadedStandIn();
    LoadedStandIn(const LoadedStandIn&) = delete;
    LoadedStandIn& operator=(const LoadedStandIn&) = delete;

    bool loaded() const { return module_ != nullptr; }
    int SetCallBack();
    int IsAimp();
    int IsData();
    int GetData(Bins* bins);
    // Waits until IsAimp answers 0; false on timeout.
    bool WaitStopped(DWORD timeout_ms);
    std::vector<Bins> Records();
    void Release();

private:
    HMODULE module_ = nullptr;
};

// The tallest of the 18 bars for these bins; the right-most among equals.
int TallestBand(const float* bins);

}  // namespace wav_test
