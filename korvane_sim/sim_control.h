#pragma once
// The test-mode control block of our stand-in Korvane.dll: a named shared-memory block
// that a test creates and names in KORVANE_SIM_CONTROL before it starts the host program.
// The test writes the answers and delivery orders; the library counts what it was asked.
// Plain layout, no pointers: both processes map it at different addresses.
#include <cstdint>

#include "player_data_record.h"

namespace korvane::sim {

constexpr wchar_t kControlVariable[] = L"KORVANE_SIM_CONTROL";
// Events named after the block: a new order is waiting; held export calls may go on.
constexpr wchar_t kOrderEventSuffix[] = L"-order";
constexpr wchar_t kLetGoEventSuffix[] = L"-let-go";
constexpr std::uint32_t kControlMagic = 0x4B534D32;  // "KSM2": this layout
constexpr int kMaxRecords = 64;
constexpr int kMaxOrderThreads = 8;

enum Export : int { kSetCallBack, kIsAimp, kIsData, kGetData, kExportCount };

// One delivery order. The library runs it on `threads` threads of its own (1 to
// kMaxOrderThreads, started one right after another); each thread delivers `count`
// records (-1: until stopped or released), record i of a thread being
// records[(first + i) % record_count], waiting `interval_us` microseconds between
// deliveries (0: back to back).
struct DeliveryOrder {
    std::int32_t threads;
    std::int32_t count;
    std::int32_t interval_us;
    std::int32_t first;
    std::int32_t record_count;
};

struct ControlBlock {
    std::uint32_t magic;

    // Answers, read at every call: the test may change them at any time.
    volatile long is_aimp;
    volatile long is_data;
    volatile long get_data;

    // Call counters, one per export, and what SetCallBack was given.
    volatile long calls[kExportCount];
    volatile long callback_mode;

    // Holding exports: a call of an export whose bit (1 << Export) is set in hold_exports
    // is counted, then waits inside the library until the test sets the "<name>-let-go"
    // event. held_calls is how many are waiting now.
    volatile long hold_exports;
    volatile long held_calls;

    // Delivery bookkeeping: handler calls started and returned.
    volatile long deliveries_started;
    volatile long deliveries_returned;

    // The release, as the library saw it: handler calls under way at the moment it began
    // (it waits for them), calls that started after it began (by the clock: must be 0),
    // library threads it had to end inside a job because the time ran out, how long it
    // took, and whether it happened.
    volatile long inflight_at_release;
    volatile long late_deliveries;
    volatile long threads_cut;
    volatile long release_us;
    volatile long released;
    // The performance counter when the release began (system-wide: a test compares it
    // with what it saw of the host at that time).
    volatile std::int64_t release_began_ticks;

    // Orders: the test fills `order` and `records`, then bumps order_seq; the library
    // takes it and sets order_taken to that number. stop_seq ends every running order.
    volatile long order_seq;
    volatile long order_taken;
    volatile long stop_seq;
    DeliveryOrder order;

    // What GetData copies when it answers non-zero.
    PlayerDataRecord get_data_record;
    // Records to deliver.
    PlayerDataRecord records[kMaxRecords];
};

}  // namespace korvane::sim
