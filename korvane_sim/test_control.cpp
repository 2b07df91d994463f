#include "test_control.h"

#include <windows.h>

#include <cstring>
#include <cwchar>

#include "delivery_engine.h"

namespace korvane::sim {
namespace {

// The control block and its events: mapped and opened in DllMain's attach, closed at
// detach; read-only pointers in between.
ControlBlock* g_control = nullptr;
HANDLE g_order_event = nullptr;
HANDLE g_let_go_event = nullptr;
INIT_ONCE g_orders_once = INIT_ONCE_STATIC_INIT;

// One thread's share of an order. The order taker fills a free one before it hands it to
// a thread; the thread frees it when its deliveries end. No more can be running than
// there are threads for orders.
struct OrderRun {
    DeliveryOrder order;
    long stop_seq;
    volatile LONG in_use;
};
OrderRun g_runs[kMaxOrderThreads];

// Counts the call; while the test holds this export, waits inside the library until the
// test lets it go.
void Called(Export e) {
    InterlockedIncrement(&g_control->calls[e]);
    if (!(g_control->hold_exports & (1L << e)) || !g_let_go_event) return;
    InterlockedIncrement(&g_control->held_calls);
    WaitForSingleObject(g_let_go_event, INFINITE);
    InterlockedDecrement(&g_control->held_calls);
}

void DeliverOrder(void* argument) {
    OrderRun* run = static_cast<OrderRun*>(argument);
    const DeliveryOrder order = run->order;
    const long stop_seq = run->stop_seq;
    PlayerDataRecord record;  // on the stack: nothing allocated that a release could cut
    const int records = order.record_count > 0 ? (order.record_count < kMaxRecords ? order.record_count
                                                                                   : kMaxRecords)
                                               : 1;
    double next = Seconds();
    for (long i = 0; order.count < 0 || i < order.count; ++i) {
        if (g_control->stop_seq != stop_seq) break;
        const int r = static_cast<int>((order.first + i) % records + kMaxRecords) % kMaxRecords;
        std::memcpy(&record, const_cast<const PlayerDataRecord*>(&g_control->records[r]), sizeof record);
        if (!Deliver(&record)) break;
        if (order.interval_us > 0) {
            next += order.interval_us / 1e6;
            if (!WaitUntil(next)) break;
        }
    }
    InterlockedExchange(&run->in_use, 0);
}

// Hands one thread's share of an order to an idle library thread, waiting for one if
// need be. False once the release began.
bool StartRun(const DeliveryOrder& order, long stop_seq) {
    for (;;) {
        for (OrderRun& run : g_runs) {
            if (InterlockedCompareExchange(&run.in_use, 1, 0) != 0) continue;
            run.order = order;
            run.stop_seq = stop_seq;
            if (RunJob(DeliverOrder, &run)) return true;
            InterlockedExchange(&run.in_use, 0);
            break;
        }
        if (!WaitForIdleThread()) return false;
    }
}

int RunsInUse() {
    int n = 0;
    for (OrderRun& run : g_runs) n += InterlockedCompareExchange(&run.in_use, 0, 0) != 0;
    return n;
}

// Takes the test's orders and starts their threads.
void TakeOrders(void*) {
    for (;;) {
        if (!WaitForEvent(g_order_event)) return;
        const long seq = g_control->order_seq;
        if (seq == g_control->order_taken) continue;
        const DeliveryOrder order = g_control->order;
        const long stop_seq = g_control->stop_seq;
        const int threads = order.threads < 1 ? 1 : order.threads > kMaxOrderThreads ? kMaxOrderThreads : order.threads;
        // A thread for each run of this order beside the runs still going and this one.
        if (GrowPool(1 + RunsInUse() + threads) == 0) return;
        for (int t = 0; t < threads; ++t) {
            if (!StartRun(order, stop_seq)) return;
        }
        InterlockedExchange(&g_control->order_taken, seq);
    }
}

BOOL CALLBACK StartOrderTaker(INIT_ONCE*, void*, void**) {
    if (GrowPool(1) > 0) RunJob(TakeOrders, nullptr);
    return TRUE;
}

HANDLE OpenNamedEvent(const wchar_t* block_name, DWORD length, const wchar_t* suffix) {
    wchar_t name[200];
    const DWORD suffix_length = static_cast<DWORD>(std::wcslen(suffix));
    if (length + suffix_length >= 200) return nullptr;
    std::memcpy(name, block_name, length * sizeof(wchar_t));
    std::memcpy(name + length, suffix, (suffix_length + 1) * sizeof(wchar_t));
    return OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name);
}

}  // namespace

bool AttachTestControl() {
    wchar_t name[180];
    const DWORD length = GetEnvironmentVariableW(kControlVariable, name, 180);
    if (length == 0 || length >= 180) return false;
    HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, name);
    if (!mapping) return false;
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(ControlBlock));
    CloseHandle(mapping);  // the view keeps the section alive
    if (!view) return false;
    auto* control = static_cast<ControlBlock*>(view);
    if (control->magic != kControlMagic) {
        UnmapViewOfFile(view);
        return false;
    }
    g_order_event = OpenNamedEvent(name, length, kOrderEventSuffix);
    g_let_go_event = OpenNamedEvent(name, length, kLetGoEventSuffix);
    g_control = control;
    ReportTo(control);
    return true;
}

bool InTestMode() { return g_control != nullptr; }

void TestSetCallBack(int mode) {
    Called(kSetCallBack);
    InterlockedExchange(&g_control->callback_mode, mode);
}

int TestIsAimp() {
    Called(kIsAimp);
    return g_control->is_aimp;
}

int TestIsData() {
    Called(kIsData);
    return g_control->is_data;
}

int TestGetData(void* buffer) {
    Called(kGetData);
    const long answer = g_control->get_data;
    if (answer && buffer) {
        std::memcpy(buffer, const_cast<const PlayerDataRecord*>(&g_control->get_data_record),
                    sizeof(PlayerDataRecord));
    }
    return answer;
}

void StartTakingOrders() {
    if (g_order_event) InitOnceExecuteOnce(&g_orders_once, StartOrderTaker, nullptr, nullptr);
}

void DetachTestControl() {
    if (g_order_event) CloseHandle(g_order_event);
    if (g_let_go_event) CloseHandle(g_let_go_event);
    g_order_event = g_let_go_event = nullptr;
    ReportTo(nullptr);
    if (g_control) UnmapViewOfFile(g_control);
    g_control = nullptr;
}

}  // namespace korvane::sim
