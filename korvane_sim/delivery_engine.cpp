#include "delivery_engine.h"

namespace korvane::sim {
namespace {

// Module state. A DLL's exports have no context argument, so these are globals; the
// threads that touch each are named beside it.

// A new thread that has not started within this is not counted: the host's thread does
// not wait on it any longer.
constexpr double kStartSeconds = 5.0;
// Of the release's budget, the part spent waiting for jobs to see it; the rest is for
// ending the threads.
constexpr double kQuietSeconds = 0.75;

struct LibraryThread {
    HANDLE thread;
    HANDLE wake;  // auto-reset: a job was handed to it
    Job job;
    void* argument;
    volatile LONG busy;  // set by RunJob under g_lock, cleared by the thread after the job
};

// g_lock guards the thread table and the step into the release: a job is handed out, or
// a thread added, only before g_releasing is set, and the release sets it under g_lock.
CRITICAL_SECTION g_lock;
LibraryThread g_threads[kMaxThreads];
int g_thread_count = 0;

// Set once, at release; read by every library thread. Interlocked writes.
volatile LONG g_releasing = 0;
// Library threads that have started (they count themselves) and those inside a job
// (RunJob adds, the thread takes off when the job returns).
volatile LONG g_started = 0;
volatile LONG g_in_job = 0;
// Handler calls under way, for the release's report (the release waits for jobs, not
// for this count).
volatile LONG g_in_handler = 0;
// The performance counter when the release began (LLONG_MAX before): a call that read the
// clock later must have seen g_releasing. Written once by the release, read by deliveries.
volatile LONGLONG g_release_began = MAXLONGLONG;

// Manual-reset events: set by the release to wake every waiting job; set by the last
// thread to leave its job once the release began. Auto-reset: a thread went idle; a
// thread started. All created at attach, closed at release.
HANDLE g_release_event = nullptr;
HANDLE g_quiet_event = nullptr;
HANDLE g_idle_event = nullptr;
HANDLE g_started_event = nullptr;

// The registered handler: written by SetCallBack (host thread), read by deliveries.
Handler volatile g_handler = nullptr;
// Test mode's control block, or nullptr; set at attach, read-only after.
ControlBlock* g_report = nullptr;

LONGLONG Ticks() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

bool Releasing() { return InterlockedCompareExchange(&g_releasing, 0, 0) != 0; }

// Milliseconds left until `deadline`, rounded up so that a wait never ends early.
DWORD MillisecondsUntil(double deadline) {
    const double left = deadline - Seconds();
    return left <= 0 ? 0 : static_cast<DWORD>(left * 1000.0) + 1;
}

// A library thread's whole life: wait for a job, run it, go back to waiting. It never
// returns, so it never exits through the loader lock; the release ends it while it waits.
DWORD WINAPI LibraryThreadMain(void* argument) {
    LibraryThread* self = static_cast<LibraryThread*>(argument);
    InterlockedIncrement(&g_started);
    SetEvent(g_started_event);
    for (;;) {
        if (WaitForSingleObject(self->wake, INFINITE) != WAIT_OBJECT_0) {
            for (;;) Sleep(INFINITE);  // no wake-up can come: wait for the release
        }
        self->job(self->argument);
        InterlockedExchange(&self->busy, 0);
        SetEvent(g_idle_event);
        if (InterlockedDecrement(&g_in_job) == 0 && Releasing()) SetEvent(g_quiet_event);
    }
}

}  // namespace

double Seconds() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    return static_cast<double>(Ticks()) / frequency;
}

void AttachEngine() {
    InitializeCriticalSection(&g_lock);
    g_release_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_quiet_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_idle_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_started_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    Seconds();  // the counter's frequency, once
}

void ReportTo(ControlBlock* block) { g_report = block; }

void SetHandler(Handler handler) { g_handler = handler; }

int GrowPool(int count) {
    EnterCriticalSection(&g_lock);
    int created = 0;
    while (!Releasing() && g_thread_count < count && g_thread_count < kMaxThreads) {
        LibraryThread& t = g_threads[g_thread_count];
        t.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        t.thread = t.wake ? CreateThread(nullptr, 64 * 1024, LibraryThreadMain, &t,
                                         STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)
                          : nullptr;
        if (!t.thread) {
            if (t.wake) CloseHandle(t.wake);
            t.wake = nullptr;
            break;
        }
        ++g_thread_count;
        ++created;
    }
    const LONG want = g_thread_count;
    LeaveCriticalSection(&g_lock);
    // Each new thread takes the loader lock once while it starts: short, unless a release
    // holds it, which ends this wait.
    const double deadline = Seconds() + kStartSeconds;
    HANDLE events[2] = {g_release_event, g_started_event};
    while (created > 0 && InterlockedCompareExchange(&g_started, 0, 0) < want && !Releasing()) {
        const DWORD ms = MillisecondsUntil(deadline);
        if (ms == 0) break;
        WaitForMultipleObjects(2, events, FALSE, ms);
    }
    return Releasing() ? 0 : want;
}

bool RunJob(Job job, void* argument) {
    EnterCriticalSection(&g_lock);
    bool handed = false;
    for (int i = 0; !Releasing() && !handed && i < g_thread_count; ++i) {
        LibraryThread& t = g_threads[i];
        if (InterlockedCompareExchange(&t.busy, 1, 0) != 0) continue;
        t.job = job;
        t.argument = argument;
        InterlockedIncrement(&g_in_job);
        SetEvent(t.wake);
        handed = true;
    }
    LeaveCriticalSection(&g_lock);
    return handed;
}

bool WaitForIdleThread() { return WaitForEvent(g_idle_event); }

bool Deliver(const void* record) {
    // The clock is read before the check: a call that passes the check with a later
    // reading than the release's start would have started after it.
    const LONGLONG now = Ticks();
    const Handler handler = g_handler;
    if (Releasing() || !handler) return false;
    InterlockedIncrement(&g_in_handler);
    if (g_report) {
        InterlockedIncrement(&g_report->deliveries_started);
        if (now > InterlockedCompareExchange64(&g_release_began, 0, 0)) {
            InterlockedIncrement(&g_report->late_deliveries);
        }
    }
    handler(record);
    if (g_report) InterlockedIncrement(&g_report->deliveries_returned);
    InterlockedDecrement(&g_in_handler);
    return true;
}

bool WaitUntil(double deadline) {
    for (;;) {
        if (Releasing()) return false;
        const double left = deadline - Seconds();
        if (left <= 0) return true;
        const DWORD ms = static_cast<DWORD>(left * 1000.0);
        if (ms == 0) {
            SwitchToThread();
        } else if (WaitForSingleObject(g_release_event, ms) == WAIT_OBJECT_0) {
            return false;
        }
    }
}

bool WaitForEvent(HANDLE event) {
    HANDLE events[2] = {g_release_event, event};
    return WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1 && !Releasing();
}

// Runs under the loader lock. It never waits for a thread to exit (that would need the
// loader lock): it waits, on the clock, for the jobs under way to see the release and
// hand their threads back, then ends the threads where they wait. A job still running
// when the time is up (a handler that does not return) is ended where it stands.
void ReleaseEngine() {
    const double start = Seconds();
    EnterCriticalSection(&g_lock);  // no job handed out, no thread added past this point
    InterlockedExchange(&g_releasing, 1);
    const LONGLONG began = Ticks();
    InterlockedExchange64(&g_release_began, began);
    const LONG inflight = InterlockedCompareExchange(&g_in_handler, 0, 0);
    SetEvent(g_release_event);
    while (InterlockedCompareExchange(&g_in_job, 0, 0) != 0) {
        const DWORD ms = MillisecondsUntil(start + kQuietSeconds);
        if (ms == 0) break;
        WaitForSingleObject(g_quiet_event, ms);
    }
    const LONG cut = InterlockedCompareExchange(&g_in_job, 0, 0);
    for (int i = 0; i < g_thread_count; ++i) TerminateThread(g_threads[i].thread, 0);
    // Ended threads need no loader lock to finish; wait for them so that none is still
    // on our code when it is unmapped.
    for (int first = 0; first < g_thread_count; first += MAXIMUM_WAIT_OBJECTS) {
        HANDLE batch[MAXIMUM_WAIT_OBJECTS];
        int n = 0;
        for (; n < MAXIMUM_WAIT_OBJECTS && first + n < g_thread_count; ++n) batch[n] = g_threads[first + n].thread;
        WaitForMultipleObjects(n, batch, TRUE, MillisecondsUntil(start + 0.95 * kReleaseBudgetSeconds));
    }
    for (int i = 0; i < g_thread_count; ++i) {
        CloseHandle(g_threads[i].thread);
        CloseHandle(g_threads[i].wake);
    }
    g_thread_count = 0;
    if (g_report) {
        g_report->inflight_at_release = inflight;
        g_report->threads_cut = cut;
        g_report->release_us = static_cast<long>((Seconds() - start) * 1e6);
        g_report->release_began_ticks = began;
        InterlockedExchange(&g_report->released, 1);
    }
    LeaveCriticalSection(&g_lock);
    HANDLE events[] = {g_release_event, g_quiet_event, g_idle_event, g_started_event};
    for (HANDLE event : events) {
        if (event) CloseHandle(event);
    }
    DeleteCriticalSection(&g_lock);
}

}  // namespace korvane::sim
