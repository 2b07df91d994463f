#include "wav_playback.h"

#include <windows.h>

#include <cstring>

#include "delivery_engine.h"
#include "player_data_record.h"
#include "wav_source.h"

namespace korvane::sim {
namespace {

// Set in DllMain's attach, read-only after; the rest is used in WAV mode only.
bool g_wav_mode = false;
bool g_loop = false;
wchar_t g_path[32768];
// Opened once, at the first export call; the playing thread reads it; closed at detach.
INIT_ONCE g_open_once = INIT_ONCE_STATIC_INIT;
HANDLE g_file = INVALID_HANDLE_VALUE;
WavFormat g_format;
// IsAimp's answer: set before the playing thread starts, cleared by it at the end.
volatile LONG g_playing = 0;
// The latest record, for GetData; written by the playing thread under the lock.
CRITICAL_SECTION g_record_lock;
PlayerDataRecord g_record;
volatile LONG g_has_record = 0;

std::size_t ReadWavFile(void* context, std::uint64_t offset, void* out, std::size_t size) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(static_cast<HANDLE>(context), out, static_cast<DWORD>(size), &got, &at)) return 0;
    return got;
}

void Play(void*) {
    static PlayerDataRecord record;  // the one playing thread's
    const std::uint64_t count = RecordCount(g_format);
    const double period = HopFor(g_format.rate) / static_cast<double>(g_format.rate);
    const double start = Seconds();
    std::uint64_t played = 0;
    for (std::uint64_t r = 0;; ++r, ++played) {
        if (r == count) {
            if (!g_loop) break;
            r = 0;
        }
        std::memset(&record, 0, sizeof record);
        float bins[kSpectrumBinCount];
        if (!AnalyseWindow(ReadWavFile, g_file, g_format, r * HopFor(g_format.rate), bins)) break;
        std::memcpy(record.bytes + kSpectrumOffset, bins, sizeof bins);
        EnterCriticalSection(&g_record_lock);
        std::memcpy(&g_record, &record, sizeof record);
        LeaveCriticalSection(&g_record_lock);
        InterlockedExchange(&g_has_record, 1);
        Deliver(&record);  // no handler yet is no reason to stop: GetData serves it
        if (!WaitUntil(start + static_cast<double>(played + 1) * period)) return;
    }
    InterlockedExchange(&g_playing, 0);
}

BOOL CALLBACK Open(INIT_ONCE*, void*, void**) {
    g_file = CreateFileW(g_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (g_file == INVALID_HANDLE_VALUE) return TRUE;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(g_file, &size) ||
        !ParseWav(ReadWavFile, g_file, static_cast<std::uint64_t>(size.QuadPart), &g_format) ||
        g_format.frame_count == 0) {
        return TRUE;  // damaged, unsupported or empty: the player is not running
    }
    InterlockedExchange(&g_playing, 1);
    if (GrowPool(1) == 0 || !RunJob(Play, nullptr)) InterlockedExchange(&g_playing, 0);
    return TRUE;
}

}  // namespace

bool AttachWavPlayback() {
    const DWORD length = GetEnvironmentVariableW(L"KORVANE_SIM_WAV", g_path, 32768);
    if (length == 0 || length >= 32768) return false;
    wchar_t loop[4];
    const DWORD loop_length = GetEnvironmentVariableW(L"KORVANE_SIM_WAV_LOOP", loop, 4);
    g_loop = loop_length == 1 && loop[0] == L'1';
    InitializeCriticalSection(&g_record_lock);
    g_wav_mode = true;
    return true;
}

bool InWavMode() { return g_wav_mode; }

void StartWavPlayback() { InitOnceExecuteOnce(&g_open_once, Open, nullptr, nullptr); }

int WavIsAimp() {
    StartWavPlayback();
    return g_playing ? 1 : 0;
}

int WavIsData() {
    StartWavPlayback();
    return g_playing && g_has_record ? 1 : 0;
}

int WavGetData(void* buffer) {
    StartWavPlayback();
    if (!buffer || !g_playing || !g_has_record) return 0;
    EnterCriticalSection(&g_record_lock);
    std::memcpy(buffer, &g_record, sizeof g_record);
    LeaveCriticalSection(&g_record_lock);
    return 1;
}

void DetachWavPlayback() {
    if (!g_wav_mode) return;
    if (g_file != INVALID_HANDLE_VALUE) CloseHandle(g_file);
    g_file = INVALID_HANDLE_VALUE;
    DeleteCriticalSection(&g_record_lock);
}

}  // namespace korvane::sim
