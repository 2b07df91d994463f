#include "live_sound.h"

#include <windows.h>

#include <cstring>

#include "delivery_engine.h"
#include "live_capture.h"
#include "player_data_record.h"

namespace korvane::sim {
namespace {

// Set in DllMain's attach, read-only after; the rest is used in live mode only.
bool g_live_mode = false;
wchar_t g_setting[128];
INIT_ONCE g_start_once = INIT_ONCE_STATIC_INIT;
// IsAimp's answer: 1 while an endpoint is capturing. Written by the listening thread.
volatile LONG g_capturing = 0;
// Set by the listening thread once its first attempt to open an endpoint is over.
HANDLE g_first_attempt = nullptr;
// The latest record, for GetData; written by the listening thread under the lock.
CRITICAL_SECTION g_record_lock;
PlayerDataRecord g_record;

void Listen(void*) {
    static PlayerDataRecord record;  // the one listening thread's
    static LiveWindow window;
    // COM on this thread alone, as a multithreaded apartment: the endpoint is opened,
    // read and closed here and nowhere else.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    LiveCapture capture(g_setting);
    const double period = 1.0 / kRecordsPerSecond;
    double next = Seconds();
    for (;;) {
        capture.Poll(Seconds(), window);
        InterlockedExchange(&g_capturing, capture.Capturing() ? 1 : 0);
        SetEvent(g_first_attempt);
        float bins[kSpectrumBinCount];
        window.Analyse(bins);
        std::memset(&record, 0, sizeof record);
        std::memcpy(record.bytes + kSpectrumOffset, bins, sizeof bins);
        EnterCriticalSection(&g_record_lock);
        std::memcpy(&g_record, &record, sizeof record);
        LeaveCriticalSection(&g_record_lock);
        Deliver(&record);  // no handler yet is no reason to stop: GetData serves it
        next += period;
        const double now = Seconds();
        if (next < now - period) next = now;  // after a stall, no burst to catch up
        if (!WaitUntil(next)) break;
    }
    // The release has begun: the stream stops here; COM itself goes with the process.
    capture.Close();
    InterlockedExchange(&g_capturing, 0);
}

BOOL CALLBACK Start(INIT_ONCE*, void*, void**) {
    g_first_attempt = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_first_attempt && GrowPool(1) > 0 && RunJob(Listen, nullptr)) WaitForSingleObject(g_first_attempt, 1000);
    return TRUE;
}

}  // namespace

bool AttachLiveSound() {
    const DWORD length = GetEnvironmentVariableW(L"KORVANE_SIM_CAPTURE", g_setting, 128);
    if (length == 0 || length >= 128) return false;
    InitializeCriticalSection(&g_record_lock);
    g_live_mode = true;
    return true;
}

bool InLiveMode() { return g_live_mode; }

void StartLiveSound() { InitOnceExecuteOnce(&g_start_once, Start, nullptr, nullptr); }

int LiveIsAimp() {
    StartLiveSound();
    return g_capturing ? 1 : 0;
}

int LiveIsData() {
    StartLiveSound();
    return 1;  // a record of the newest sound, or of silence, is always there
}

int LiveGetData(void* buffer) {
    StartLiveSound();
    if (!buffer) return 0;
    EnterCriticalSection(&g_record_lock);
    std::memcpy(buffer, &g_record, sizeof g_record);
    LeaveCriticalSection(&g_record_lock);
    return 1;
}

void DetachLiveSound() {
    if (!g_live_mode) return;
    if (g_first_attempt) CloseHandle(g_first_attempt);
    g_first_attempt = nullptr;
    DeleteCriticalSection(&g_record_lock);
}

}  // namespace korvane::sim
