#pragma once
// The test-mode control block of our stand-in Korvane.dll: a named shared-memory block
// that a test creates and names in KORVANE_SIM_CONTROL before it starts the host program.
// The test writes the answers and delivery orders; the library counts what it was asked.
// Plain layout, no pointers: both processes map it at different addresses.
#include <cstdint>

#include "player_data_record.h"

namespace korvane::sim {

constexpr wchar_t kControlVariable[] = L"KORVANE_SIM_CONTROL";
constexpr std::uint32_t kControlMagic = 0x4B534D31;  // "KSM1"
constexpr int kMaxRecords = 64;

enum Export : int { kSetCallBack, kIsAimp, kIsData, kGetData, kExportCount };

// One delivery order. The library runs it on `threads` threads of its own (started
// together); each thread delivers `count` records (-1: until stopped or released),
// record i of a thread being records[(first + i) % record_count], waiting
// `interval_us` microseconds between deliveries (0: back to back).
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

    // Delivery bookkeeping: started and returned handler calls, the calls in flight at
    // the moment the library was released, and whether it has been released.
    volatile long deliveries_started;
    volatile long deliveries_returned;
    volatile long inflight_at_release;
    volatile long released;

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
