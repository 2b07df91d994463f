#include "wav_test_support.h"

#include <cstring>

#include "band_reduction.h"
#include "harness.h"
#include "player_data_record.h"

namespace wav_test {

std::wstring Signal(const std::wstring& name) { return std::wstring(KORVANE_WAV_SIGNALS) + L"/" + name + L".wav"; }

ScopedEnv::ScopedEnv(const wchar_t* name, const std::wstring& value) : name_(name) {
    SetEnvironmentVariableW(name, value.c_str());
}
ScopedEnv::~ScopedEnv() { SetEnvironmentVariableW(name_, nullptr); }

namespace {

CRITICAL_SECTION g_lock;
const bool g_lock_ready = [] {
    InitializeCriticalSection(&g_lock);
    return true;
}();
std::vector<Bins> g_records;

int __stdcall OnRecord(const void* record) {
    Bins bins;
    std::memcpy(bins.data(), static_cast<const unsigned char*>(record) + korvane::kSpectrumOffset, sizeof bins);
    EnterCriticalSection(&g_lock);
    g_records.push_back(bins);
    LeaveCriticalSection(&g_lock);
    return 0;
}

template <typename F>
F Export(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

LoadedStandIn::LoadedStandIn(const std::wstring& wav, bool loop) {
    (void)g_lock_ready;
    EnterCriticalSection(&g_lock);
    g_records.clear();
    LeaveCriticalSection(&g_lock);
    // The library reads its environment when it is loaded.
    ScopedEnv file(L"KORVANE_SIM_WAV", wav);
    ScopedEnv looping(L"KORVANE_SIM_WAV_LOOP", loop ? L"1" : L"0");
    module_ = LoadLibraryW((harness::StageDir(L"full") + L"\\Korvane.dll").c_str());
}

LoadedStandIn::~LoadedStandIn() { Release(); }

void LoadedStandIn::Release() {
    if (module_) FreeLibrary(module_);
    module_ = nullptr;
}

int LoadedStandIn::SetCallBack() {
    return Export<int(__stdcall*)(const void*, int)>(module_, "SetCallBack")(reinterpret_cast<const void*>(&OnRecord), 1);
}
int LoadedStandIn::IsAimp() { return Export<int(__stdcall*)()>(module_, "IsAimp")(); }
int LoadedStandIn::IsData() { return Export<int(__stdcall*)()>(module_, "IsData")(); }
int LoadedStandIn::GetData(Bins* bins) {
    korvane::PlayerDataRecord record;
    const int answer = Export<int(__stdcall*)(void*)>(module_, "GetData")(&record);
    if (answer) std::memcpy(bins->data(), record.bytes + korvane::kSpectrumOffset, sizeof *bins);
    return answer;
}

bool LoadedStandIn::WaitStopped(DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    while (IsAimp() != 0) {
        if (GetTickCount() - start > timeout_ms) return false;
        Sleep(10);
    }
    return true;
}

std::vector<Bins> LoadedStandIn::Records() {
    EnterCriticalSection(&g_lock);
    std::vector<Bins> copy = g_records;
    LeaveCriticalSection(&g_lock);
    return copy;
}

int TallestBand(const float* bins) {
    const bars::BandLevels levels = bars::ReduceBands(bins);
    int best = 0;
    for (int b = 1; b < bars::kBandCount; ++b)
        if (levels.level[b] >= levels.level[best]) best = b;
    return best;
}

}  // namespace wav_test
