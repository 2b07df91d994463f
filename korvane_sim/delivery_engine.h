#pragma once
// The stand-in's delivery engine: a small pool of library threads that run the sources'
// jobs, the one handler call path, and the release that ends it all before the code is
// unmapped.
//
// Library threads never end by themselves: a job that is done hands its thread back to
// the pool, where it waits. So no thread ever leaves through the loader lock, and at
// release every thread is either in that wait or inside a job that sees the release at
// its next delivery or wait. A new thread takes the loader lock while it starts, so the
// wait for it ends at once when the release (which holds that lock) begins; the release
// then ends it with the rest, before it has run any of our code.
//
// The pool grows only to what is asked of it: Wine does not free the memory of a thread
// ended from outside (about 1 MB each), and a host that loads and frees the library
// many times would run out of address space.
#include <windows.h>

#include "sim_control.h"

namespace korvane::sim {

using Handler = int(__stdcall*)(const void* record);
using Job = void (*)(void* argument);

// The whole release, waiting and ending threads, stays within this.
constexpr double kReleaseBudgetSeconds = 1.0;
// The most library threads: an order's threads and the order taker.
constexpr int kMaxThreads = kMaxOrderThreads + 1;

// Seconds on the performance counter.
double Seconds();

// DllMain's attach: the engine's locks and events.
void AttachEngine();
// Where deliveries and the release are reported (test mode); set at attach.
void ReportTo(ControlBlock* block);

// The registered handler; nullptr turns deliveries into no-ops that return false.
void SetHandler(Handler handler);

// Starts library threads until the pool has `count` (at most kMaxThreads), and waits
// until each has started or the release began. From an export call or a job. Returns
// the pool's size; 0 once the release began.
int GrowPool(int count);
// Hands a job to an idle library thread. False when none is idle or the release began.
bool RunJob(Job job, void* argument);
// For a job that needs another thread: waits until one goes idle. False once the
// release began.
bool WaitForIdleThread();

// One handler call. False when the release began (nothing called) or no handler is set.
bool Deliver(const void* record);
// Waits until `deadline` (Seconds()); false, at once, when the release begins.
bool WaitUntil(double deadline);
// Waits for an event; false, at once, when the release begins.
bool WaitForEvent(HANDLE event);

// DllMain's detach (the library being freed, not the process ending): no delivery starts
// past its first step; it waits for handler calls under way, then ends every library
// thread, all within kReleaseBudgetSeconds.
void ReleaseEngine();

}  // namespace korvane::sim
