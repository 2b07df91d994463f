// Our stand-in Korvane.dll. Demo mode (default): a live made-up spectrum about 30 times
// a second. WAV mode (KORVANE_SIM_WAV names a file): that file's spectrum in real time.
// Live mode (KORVANE_SIM_CAPTURE): the spectrum of what the computer plays or hears.
// Test mode (KORVANE_SIM_CONTROL names a control block): every answer and
// every delivery is the test's. Built also without one export at a time
// (KORVANE_SIM_WITHOUT_<Export>) for the failure paths.
#include <windows.h>

#include <cstring>

#include "live_capture.h"
#include "made_up_music.h"
#include "player_data_record.h"
#include "sim_control.h"
#include "wav_source.h"

using korvane::PlayerDataRecord;
using namespace korvane::sim;

namespace {

using Handler = int(__stdcall*)(const void* record);

// Module state. A DLL's exports have no context argument, so these are globals; the
// threads that touch each are named beside it.

// The registered handler: written by SetCallBack (host thread), read by delivery threads.
Handler volatile g_handler = nullptr;
// Test mode's control block and its order event, mapped in DllMain attach, unmapped at
// detach; read-only pointers in between.
ControlBlock* g_control = nullptr;
HANDLE g_order_event = nullptr;
// Set once at release: no delivery may start after it. Delivery threads read it.
volatile LONG g_stopping = 0;
// Handler calls under way; the release waits for it to drop to zero.
volatile LONG g_inflight = 0;

// Every thread the library started, so that release can end them before the code they
// run is unmapped. g_threads_lock guards the list and is held while a thread is created,
// so a release never misses one that is being born.
constexpr int kMaxThreads = 256;
CRITICAL_SECTION g_threads_lock;
HANDLE g_threads[kMaxThreads];
int g_thread_count = 0;
[[maybe_unused]] bool g_background_started = false;  // the control or demo thread; under g_threads_lock

double Seconds() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Where a library thread ends up once the release has begun: a plain kernel wait that
// never returns, so the release can end it at a clean point. A thread that returned
// instead would be on its way out under the loader lock, and ending it there can leave
// the process unable to exit.
// Library threads alive and not yet on their way out, and those of them parked: the
// release waits until the two agree, so that no thread is ended inside a heap, file or
// loader call. Both only ever counted with interlocked operations.
volatile LONG g_live = 0;
volatile LONG g_parked = 0;

[[noreturn]] void Park() {
    InterlockedIncrement(&g_parked);
    for (;;) Sleep(INFINITE);
}

// The last step of a library thread that ends by itself.
DWORD ThreadDone() {
    InterlockedDecrement(&g_live);
    return 0;
}

// One handler call, unless the library is being released. The increment comes before the
// check, and release sets the flag before it waits for the count: so either the release
// waits for this call, or this call sees the flag and does not start.
bool Deliver(const void* record) {
    InterlockedIncrement(&g_inflight);
    const Handler handler = g_handler;
    if (InterlockedCompareExchange(&g_stopping, 0, 0) || !handler) {
        InterlockedDecrement(&g_inflight);
        if (g_stopping) Park();
        return false;
    }
    if (g_control) InterlockedIncrement(&g_control->deliveries_started);
    handler(record);
    if (g_control) InterlockedIncrement(&g_control->deliveries_returned);
    InterlockedDecrement(&g_inflight);
    return true;
}

// Waits until `deadline` (seconds); at the library's release the thread parks instead.
bool WaitUntil(double deadline) {
    for (;;) {
        if (g_stopping) Park();
        const double left = deadline - Seconds();
        if (left <= 0) return true;
        const DWORD ms = static_cast<DWORD>(left * 1000.0);
        if (ms == 0) {
            SwitchToThread();
        } else {
            Sleep(ms < 5 ? ms : 5);
        }
    }
}

bool StartThread(LPTHREAD_START_ROUTINE routine, void* argument) {
    EnterCriticalSection(&g_threads_lock);
    bool started = false;
    if (!g_stopping) {
        // Forget threads that have ended, to keep room in the list.
        int kept = 0;
        for (int i = 0; i < g_thread_count; ++i) {
            if (WaitForSingleObject(g_threads[i], 0) == WAIT_OBJECT_0) {
                CloseHandle(g_threads[i]);
            } else {
                g_threads[kept++] = g_threads[i];
            }
        }
        g_thread_count = kept;
        if (g_thread_count < kMaxThreads) {
            HANDLE thread = CreateThread(nullptr, 64 * 1024, routine, argument,
                                         STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
            if (thread) {
                InterlockedIncrement(&g_live);
                g_threads[g_thread_count++] = thread;
                started = true;
            }
        }
    }
    LeaveCriticalSection(&g_threads_lock);
    return started;
}

// ---- test mode ---------------------------------------------------------------------

struct WorkerOrder {
    DeliveryOrder order;
    long stop_seq;
    HANDLE start;  // manual-reset event shared by the threads of one order
    volatile LONG waiting;
};

DWORD WINAPI DeliveryThread(void* argument) {
    WorkerOrder* work = static_cast<WorkerOrder*>(argument);
    const DeliveryOrder order = work->order;
    const long stop_seq = work->stop_seq;
    const DWORD woke = WaitForSingleObject(work->start, INFINITE);
    if (InterlockedDecrement(&work->waiting) == 0) {
        CloseHandle(work->start);
        HeapFree(GetProcessHeap(), 0, work);
    }
    if (woke != WAIT_OBJECT_0) return ThreadDone();

    PlayerDataRecord record;  // on the stack: no per-thread allocation to be caught in
    const int records = order.record_count > 0 ? (order.record_count < kMaxRecords ? order.record_count
                                                                                   : kMaxRecords)
                                               : 1;
    double next = Seconds();
    for (long i = 0; order.count < 0 || i < order.count; ++i) {
        if (g_stopping) Park();
        if (g_control->stop_seq != stop_seq) break;
        const int r = static_cast<int>((order.first + i) % records + kMaxRecords) % kMaxRecords;
        std::memcpy(&record, const_cast<const PlayerDataRecord*>(&g_control->records[r]), sizeof record);
        if (!Deliver(&record)) break;
        if (order.interval_us > 0) {
            next += order.interval_us / 1e6;
            if (!WaitUntil(next)) break;
        }
    }
    return ThreadDone();
}

// Takes the test's orders and starts their delivery threads.
[[maybe_unused]] DWORD WINAPI ControlThread(void*) {
    for (;;) {
        if (WaitForSingleObject(g_order_event, INFINITE) != WAIT_OBJECT_0) return ThreadDone();
        if (g_stopping) Park();
        const long seq = g_control->order_seq;
        if (seq == g_control->order_taken) continue;
        const DeliveryOrder order = g_control->order;
        const int threads = order.threads > 0 ? order.threads : 1;
        auto* work = static_cast<WorkerOrder*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(WorkerOrder)));
        if (work) {
            work->order = order;
            work->stop_seq = g_control->stop_seq;
            work->start = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            work->waiting = threads;
            int started = 0;
            for (int t = 0; t < threads; ++t) started += StartThread(DeliveryThread, work) ? 1 : 0;
            if (started < threads) {
                // The threads never started own no share of the order.
                if (InterlockedExchangeAdd(&work->waiting, -(threads - started)) == threads - started) {
                    CloseHandle(work->start);
                    HeapFree(GetProcessHeap(), 0, work);
                    work = nullptr;
                }
            }
            if (work) SetEvent(work->start);  // all threads of the order go at once
        }
        InterlockedExchange(&g_control->order_taken, seq);
    }
}

// ---- demo mode ---------------------------------------------------------------------

void DemoRecord(PlayerDataRecord& record) {
    std::memset(&record, 0, sizeof record);
    float bins[korvane::kSpectrumBinCount];
    DemoSpectrum(Seconds(), bins, korvane::kSpectrumBinCount);
    std::memcpy(record.bytes + korvane::kSpectrumOffset, bins, sizeof bins);
}

[[maybe_unused]] DWORD WINAPI DemoThread(void*) {
    static PlayerDataRecord record;
    double next = Seconds();
    for (;;) {
        DemoRecord(record);
        if (!Deliver(&record)) return ThreadDone();
        next += 1.0 / 30.0;
        if (!WaitUntil(next)) return ThreadDone();
    }
}

// ---- WAV mode ----------------------------------------------------------------------

// The file is opened and its header read at the first export call, not in DllMain: the
// loader lock must not wait on a disk. The playing thread then reads one window a record.
bool g_wav_mode = false;  // set in Attach
bool g_wav_loop = false;
wchar_t g_wav_path[32768];
INIT_ONCE g_wav_once = INIT_ONCE_STATIC_INIT;
HANDLE g_wav_file = INVALID_HANDLE_VALUE;
WavFormat g_wav_format;
// IsAimp's answer: set before the playing thread starts, cleared by it at the end.
volatile LONG g_wav_playing = 0;
// The latest record, for GetData; written by the playing thread under the lock.
CRITICAL_SECTION g_wav_record_lock;
PlayerDataRecord g_wav_record;
volatile LONG g_wav_has_record = 0;

std::size_t ReadWavFile(void* context, std::uint64_t offset, void* out, std::size_t size) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(static_cast<HANDLE>(context), out, static_cast<DWORD>(size), &got, &at)) return 0;
    return got;
}

DWORD WINAPI WavThread(void*) {
    static PlayerDataRecord record;
    const std::uint64_t count = RecordCount(g_wav_format);
    const double period = HopFor(g_wav_format.rate) / static_cast<double>(g_wav_format.rate);
    const double start = Seconds();
    std::uint64_t played = 0;
    for (std::uint64_t r = 0;; ++r, ++played) {
        if (r == count) {
            if (!g_wav_loop) break;
            r = 0;
        }
        std::memset(&record, 0, sizeof record);
        float bins[korvane::kSpectrumBinCount];
        if (!AnalyseWindow(ReadWavFile, g_wav_file, g_wav_format, r * HopFor(g_wav_format.rate), bins)) break;
        std::memcpy(record.bytes + korvane::kSpectrumOffset, bins, sizeof bins);
        EnterCriticalSection(&g_wav_record_lock);
        std::memcpy(&g_wav_record, &record, sizeof record);
        LeaveCriticalSection(&g_wav_record_lock);
        InterlockedExchange(&g_wav_has_record, 1);
        Deliver(&record);  // no handler yet is no reason to stop: GetData serves it
        if (!WaitUntil(start + static_cast<double>(played + 1) * period)) return ThreadDone();
    }
    InterlockedExchange(&g_wav_playing, 0);
    if (g_stopping) Park();  // never exit under the releasing loader lock
    return ThreadDone();
}

BOOL CALLBACK OpenWav(INIT_ONCE*, void*, void**) {
    g_wav_file = CreateFileW(g_wav_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (g_wav_file == INVALID_HANDLE_VALUE) return TRUE;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(g_wav_file, &size) ||
        !ParseWav(ReadWavFile, g_wav_file, static_cast<std::uint64_t>(size.QuadPart), &g_wav_format) ||
        g_wav_format.frame_count == 0) {
        return TRUE;  // damaged, unsupported or empty: the player is not running
    }
    InterlockedExchange(&g_wav_playing, 1);
    if (!StartThread(WavThread, nullptr)) InterlockedExchange(&g_wav_playing, 0);
    return TRUE;
}

// Starts playing at the first call of any export; later calls return at once.
void EnsureWav() { InitOnceExecuteOnce(&g_wav_once, OpenWav, nullptr, nullptr); }

// ---- live mode ---------------------------------------------------------------------

// Capture is set up on the library's own thread at the first export call, never in
// DllMain; COM is initialised on that thread alone.
bool g_live_mode = false;  // set in Attach
wchar_t g_live_setting[128];
INIT_ONCE g_live_once = INIT_ONCE_STATIC_INIT;
// IsAimp's answer: 1 while an endpoint is capturing. Written by the live thread.
volatile LONG g_live_capturing = 0;
// Set by the live thread once its first attempt to open an endpoint is over, so that the
// first IsAimp answers for the device rather than for a thread still starting.
HANDLE g_live_ready = nullptr;
// The latest record, for GetData; written by the live thread under the lock.
CRITICAL_SECTION g_live_record_lock;
PlayerDataRecord g_live_record;

DWORD WINAPI LiveThread(void*) {
    static PlayerDataRecord record;
    static LiveWindow window;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    LiveCapture capture(g_live_setting);
    const double period = 1.0 / kRecordsPerSecond;
    double next = Seconds();
    for (;;) {
        if (g_stopping) {
            capture.Close();  // stops the stream; COM itself goes with the process
            Park();
        }
        capture.Poll(Seconds(), window);
        InterlockedExchange(&g_live_capturing, capture.Capturing() ? 1 : 0);
        SetEvent(g_live_ready);
        // Through silence and while no device can be had, records of zeros keep coming.
        float bins[korvane::kSpectrumBinCount];
        window.Analyse(bins);
        std::memset(&record, 0, sizeof record);
        std::memcpy(record.bytes + korvane::kSpectrumOffset, bins, sizeof bins);
        EnterCriticalSection(&g_live_record_lock);
        std::memcpy(&g_live_record, &record, sizeof record);
        LeaveCriticalSection(&g_live_record_lock);
        Deliver(&record);
        next += period;
        if (next < Seconds() - period) next = Seconds();  // after a stall, no burst to catch up
        if (!WaitUntil(next)) return ThreadDone();
    }
}

BOOL CALLBACK StartLive(INIT_ONCE*, void*, void**) {
    g_live_ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_live_ready && StartThread(LiveThread, nullptr)) WaitForSingleObject(g_live_ready, 1000);
    return TRUE;
}

void EnsureLive() { InitOnceExecuteOnce(&g_live_once, StartLive, nullptr, nullptr); }

// ---- load and release --------------------------------------------------------------

// Test mode wins over live mode, which wins over WAV mode, which wins over the demo.
void ReadLiveSetting() {
    if (g_control) return;
    const DWORD len = GetEnvironmentVariableW(L"KORVANE_SIM_CAPTURE", g_live_setting, 128);
    g_live_mode = len > 0 && len < 128;
}

void ReadWavSetting() {
    if (g_control || g_live_mode) return;
    const DWORD len = GetEnvironmentVariableW(L"KORVANE_SIM_WAV", g_wav_path, 32768);
    if (len == 0 || len >= 32768) return;
    wchar_t loop[4];
    const DWORD loop_len = GetEnvironmentVariableW(L"KORVANE_SIM_WAV_LOOP", loop, 4);
    g_wav_loop = loop_len == 1 && loop[0] == L'1';
    g_wav_mode = true;
}

void AttachControl() {
    wchar_t name[200];
    const DWORD len = GetEnvironmentVariableW(kControlVariable, name, 180);
    if (len == 0 || len >= 180) return;
    HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, name);
    if (!mapping) return;
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(ControlBlock));
    CloseHandle(mapping);  // the view keeps the section alive
    if (!view) return;
    auto* control = static_cast<ControlBlock*>(view);
    if (control->magic != kControlMagic) {
        UnmapViewOfFile(view);
        return;
    }
    std::memcpy(name + len, L"-order", 7 * sizeof(wchar_t));
    g_order_event = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name);
    g_control = control;
}

void Attach() {
    InitializeCriticalSection(&g_threads_lock);
    InitializeCriticalSection(&g_wav_record_lock);
    InitializeCriticalSection(&g_live_record_lock);
    AttachControl();
    ReadLiveSetting();
    ReadWavSetting();
}

// Runs under the loader lock when the host frees the library: stops deliveries, waits
// only for handler calls under way (not for threads to exit, which would need the loader
// lock), then ends the library's threads, parked or waiting, before their code is
// unmapped.
void Release() {
    EnterCriticalSection(&g_threads_lock);  // no thread is half-created past this point
    InterlockedExchange(&g_stopping, 1);
    if (g_order_event) SetEvent(g_order_event);  // the control thread parks on waking
    while (InterlockedCompareExchange(&g_inflight, 0, 0) != 0) Sleep(0);
    // Every thread checks the flag within a few milliseconds and parks; the bound only
    // matters for a thread held up where it cannot look.
    for (int waited = 0; waited < 2000 && g_parked < g_live; ++waited) Sleep(1);
    if (g_control) {
        g_control->inflight_at_release = g_control->deliveries_started - g_control->deliveries_returned;
        InterlockedExchange(&g_control->released, 1);
    }
    for (int i = 0; i < g_thread_count; ++i) {
        if (WaitForSingleObject(g_threads[i], 0) != WAIT_OBJECT_0) {
            TerminateThread(g_threads[i], 0);
            WaitForSingleObject(g_threads[i], 5000);
        }
        CloseHandle(g_threads[i]);
    }
    g_thread_count = 0;
    LeaveCriticalSection(&g_threads_lock);
    if (g_order_event) CloseHandle(g_order_event);
    if (g_control) UnmapViewOfFile(g_control);
    g_control = nullptr;
    if (g_wav_file != INVALID_HANDLE_VALUE) CloseHandle(g_wav_file);
    if (g_live_ready) CloseHandle(g_live_ready);
    DeleteCriticalSection(&g_wav_record_lock);
    DeleteCriticalSection(&g_live_record_lock);
    DeleteCriticalSection(&g_threads_lock);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        Attach();
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        // At process exit (reserved set) the system has already ended our threads.
        Release();
    }
    return TRUE;
}

#define KORVANE_EXPORT extern "C" __declspec(dllexport)

#ifndef KORVANE_SIM_WITHOUT_SetCallBack
KORVANE_EXPORT int __stdcall SetCallBack(const void* handler, int mode) {
    if (g_control) {
        InterlockedIncrement(&g_control->calls[kSetCallBack]);
        InterlockedExchange(&g_control->callback_mode, mode);
    }
    g_handler = reinterpret_cast<Handler>(const_cast<void*>(handler));
    if (g_live_mode) {
        EnsureLive();
        return 1;
    }
    if (g_wav_mode) {
        EnsureWav();
        return 1;
    }
    EnterCriticalSection(&g_threads_lock);
    const bool start = !g_background_started;
    g_background_started = true;
    LeaveCriticalSection(&g_threads_lock);
    if (start) {
        if (g_control) {
            if (g_order_event) StartThread(ControlThread, nullptr);
        } else {
            StartThread(DemoThread, nullptr);
        }
    }
    return 1;
}
#endif

#ifndef KORVANE_SIM_WITHOUT_IsAimp
KORVANE_EXPORT int __stdcall IsAimp() {
    if (g_live_mode) {
        EnsureLive();
        return g_live_capturing ? 1 : 0;
    }
    if (g_wav_mode) {
        EnsureWav();
        return g_wav_playing ? 1 : 0;
    }
    if (!g_control) return 1;
    InterlockedIncrement(&g_control->calls[kIsAimp]);
    return g_control->is_aimp;
}
#endif

#ifndef KORVANE_SIM_WITHOUT_IsData
KORVANE_EXPORT int __stdcall IsData() {
    if (g_live_mode) {
        EnsureLive();
        return 1;  // a record of the newest sound, or of silence, is always there
    }
    if (g_wav_mode) {
        EnsureWav();
        return g_wav_playing && g_wav_has_record ? 1 : 0;
    }
    if (!g_control) return 1;
    InterlockedIncrement(&g_control->calls[kIsData]);
    return g_control->is_data;
}
#endif

#ifndef KORVANE_SIM_WITHOUT_GetData
KORVANE_EXPORT int __stdcall GetData(void* buffer) {
    if (g_live_mode) {
        EnsureLive();
        if (!buffer) return 0;
        EnterCriticalSection(&g_live_record_lock);
        std::memcpy(buffer, &g_live_record, sizeof g_live_record);
        LeaveCriticalSection(&g_live_record_lock);
        return 1;
    }
    if (g_wav_mode) {
        EnsureWav();
        if (!buffer || !g_wav_playing || !g_wav_has_record) return 0;
        EnterCriticalSection(&g_wav_record_lock);
        std::memcpy(buffer, &g_wav_record, sizeof g_wav_record);
        LeaveCriticalSection(&g_wav_record_lock);
        return 1;
    }
    if (!g_control) {
        if (!buffer) return 0;
        DemoRecord(*static_cast<PlayerDataRecord*>(buffer));
        return 1;
    }
    InterlockedIncrement(&g_control->calls[kGetData]);
    const long answer = g_control->get_data;
    if (answer && buffer) {
        std::memcpy(buffer, const_cast<const PlayerDataRecord*>(&g_control->get_data_record),
                    sizeof(PlayerDataRecord));
    }
    return answer;
}
#endif
