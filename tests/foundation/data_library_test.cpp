// DataLibrary against our stand-in, 32-bit under Wine. Where the library's location
// matters, the test copies itself beside a Korvane.dll variant and re-runs itself there
// as a child ("probe" mode), since the search starts in the program's own folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "data_library.h"
#include "harness.h"
#include "player_data_record.h"

using harness::SimControl;
using korvane::DataLibrary;
using namespace korvane::sim;

namespace {

constexpr int kProbeLoaded = 10;
constexpr int kProbeNotLoaded = 11;

// ---- the child side ----------------------------------------------------------------

int RunProbe() {
    DataLibrary library;
    return library.Load() ? kProbeLoaded : kProbeNotLoaded;
}

// ---- the parent side ---------------------------------------------------------------

std::wstring SelfPath() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

// A folder holding a copy of this program and, unless variant is empty, a Korvane.dll.
std::wstring ProbeDir(const std::wstring& name, const std::wstring& variant) {
    const std::wstring dir = harness::FreshDir(name);
    CopyFileW(SelfPath().c_str(), (dir + L"/probe.exe").c_str(), FALSE);
    DeleteFileW((dir + L"/Korvane.dll").c_str());
    if (!variant.empty()) {
        CopyFileW((harness::StageDir(variant) + L"/Korvane.dll").c_str(), (dir + L"/Korvane.dll").c_str(), FALSE);
    }
    return dir;
}

DWORD RunProbeIn(const std::wstring& dir, const std::wstring& working_dir) {
    SetEnvironmentVariableW(L"KORVANE_TEST_PROBE", L"1");
    harness::Process probe;
    harness::StartOptions options;
    options.working_dir = working_dir;
    const bool started = probe.Start(dir + L"/probe.exe", options);
    SetEnvironmentVariableW(L"KORVANE_TEST_PROBE", nullptr);
    if (!started) return 0xDEAD;
    return probe.WaitExit(30000);
}

// Loads a staged variant in this process by its full path's folder: the test program's
// own folder has no library, so copy the variant there for the duration of a test.
class StagedLibrary {
public:
    explicit StagedLibrary(const std::wstring& variant) {
        std::wstring self = SelfPath();
        target_ = self.substr(0, self.find_last_of(L"/\\")) + L"\\Korvane.dll";
        DeleteFileW(target_.c_str());
        if (variant != L"missing") {
            CopyFileW((harness::StageDir(variant) + L"/Korvane.dll").c_str(), target_.c_str(), FALSE);
        }
    }
    ~StagedLibrary() { DeleteFileW(target_.c_str()); }

private:
    std::wstring target_;
};

// What the handler saw; written on the library's threads.
volatile LONG g_handler_calls = 0;
volatile LONG g_calls_on_main_thread = 0;
volatile LONG g_bad_values = 0;
DWORD g_main_thread = 0;

int __stdcall CountingHandler(const void* record) {
    InterlockedIncrement(&g_handler_calls);
    if (GetCurrentThreadId() == g_main_thread) InterlockedIncrement(&g_calls_on_main_thread);
    if (korvane::ShownValue(record) != 1.5f) InterlockedIncrement(&g_bad_values);
    return 0;
}

TEST(DataLibrary, CallsEveryExportAndDeliversToAStdcallHandlerOnALibraryThread) {
    StagedLibrary staged(L"full");
    SimControl sim;
    sim->is_aimp = -7;
    sim->is_data = 0x55;
    sim->get_data = 3;
    sim.SetGetDataShownValue(-2.25e-11f);
    sim.SetShownValue(0, 1.5f);

    DataLibrary library;
    ASSERT_TRUE(library.Load());
    EXPECT_EQ(library.IsAimp(), -7);
    EXPECT_EQ(library.IsData(), 0x55);
    korvane::PlayerDataRecord buffer = {};
    EXPECT_EQ(library.GetData(&buffer), 3);
    EXPECT_EQ(korvane::ShownValue(&buffer), -2.25e-11f);

    g_main_thread = GetCurrentThreadId();
    g_handler_calls = g_calls_on_main_thread = g_bad_values = 0;
    library.SetCallBack(CountingHandler, 1);
    EXPECT_EQ(sim->callback_mode, 1);
    ASSERT_TRUE(sim.Deliver(1, 5));
    ASSERT_TRUE(sim.WaitReturned(5));
    // A caller-cleans handler would unbalance the stack on the first call: five clean
    // returns with the right record show the convention holds both ways.
    EXPECT_EQ(g_handler_calls, 5);
    EXPECT_EQ(g_calls_on_main_thread, 0);
    EXPECT_EQ(g_bad_values, 0);

    for (Export e : {kSetCallBack, kIsAimp, kIsData, kGetData}) EXPECT_EQ(sim.Calls(e), 1) << e;

    library.Release();
    EXPECT_TRUE(sim->released);
    EXPECT_FALSE(library.Loaded());
    // Released: nothing more reaches the library, and a second release is harmless.
    EXPECT_EQ(library.IsAimp(), 0);
    EXPECT_EQ(library.GetData(&buffer), 0);
    library.Release();
}

// Each variant lacks one export: that call yields 0 and reaches nothing; the rest work.
TEST(DataLibrary, ALackingExportYieldsZeroWithoutACall) {
    const struct {
        const wchar_t* variant;
        Export lacking;
    } cases[] = {
        {L"no_SetCallBack", kSetCallBack}, {L"no_IsAimp", kIsAimp},
        {L"no_IsData", kIsData},           {L"no_GetData", kGetData},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "variant " << c.lacking);
        StagedLibrary staged(c.variant);
        SimControl sim;
        sim->is_aimp = sim->is_data = sim->get_data = 1;
        DataLibrary library;
        ASSERT_TRUE(library.Load());
        korvane::PlayerDataRecord buffer = {};
        const int results[kExportCount] = {library.SetCallBack(CountingHandler, 1), library.IsAimp(),
                                           library.IsData(), library.GetData(&buffer)};
        for (int e = 0; e < kExportCount; ++e) {
            EXPECT_EQ(results[e], e == c.lacking ? 0 : 1) << "export " << e;
            EXPECT_EQ(sim.Calls(static_cast<Export>(e)), e == c.lacking ? 0 : 1) << "export " << e;
        }
        library.Release();
    }
}

TEST(DataLibrary, AMissingOrBrokenLibraryDoesNotLoadAndNothingIsCalled) {
    for (const wchar_t* variant : {L"missing", L"not_pe"}) {
        StagedLibrary staged(variant);
        DataLibrary library;
        EXPECT_FALSE(library.Load());
        korvane::PlayerDataRecord buffer = {};
        EXPECT_EQ(library.SetCallBack(CountingHandler, 1), 0);
        EXPECT_EQ(library.IsAimp(), 0);
        EXPECT_EQ(library.IsData(), 0);
        EXPECT_EQ(library.GetData(&buffer), 0);
        library.Release();
    }
}

// A Korvane.dll planted in the working directory must not be picked up; one beside the
// program is, whatever the working directory.
TEST(DataLibrary, SearchSkipsTheWorkingDirectory) {
    const std::wstring planted = ProbeDir(L"planted_cwd", L"full");
    DeleteFileW((planted + L"/probe.exe").c_str());
    const std::wstring bare = ProbeDir(L"probe_bare", L"");
    const std::wstring beside = ProbeDir(L"probe_beside", L"full");
    EXPECT_EQ(RunProbeIn(bare, planted), static_cast<DWORD>(kProbeNotLoaded));
    EXPECT_EQ(RunProbeIn(beside, planted), static_cast<DWORD>(kProbeLoaded));
    EXPECT_EQ(RunProbeIn(beside, bare), static_cast<DWORD>(kProbeLoaded));
}

int __stdcall QuietHandler(const void*) { return 0; }

// What the release test's handler saw; written on the library's threads.
volatile LONG g_library_freed = 0;  // set by the test once Release has returned
volatile LONG g_calls_after_free = 0;

// Counts a call that starts once the library is gone, then stays a while, so that a
// release often begins with a call under way.
int __stdcall SlowHandler(const void*) {
    if (InterlockedCompareExchange(&g_library_freed, 0, 0)) InterlockedIncrement(&g_calls_after_free);
    const double until = harness::Seconds() + 200e-6;
    while (harness::Seconds() < until) {
    }
    return 0;
}

// Release in the middle of 1 kHz deliveries from two library threads: it begins with
// calls under way in some rounds (or the race was not exercised), waits for them, ends
// within its budget, and no call starts after it.
TEST(DataLibrary, ReleaseUnderFastDeliveriesFromTwoThreads) {
    StagedLibrary staged(L"full");
    constexpr int kRounds = 100;
    int raced = 0;
    std::vector<long> release_us;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        SimControl sim;
        DataLibrary library;
        ASSERT_TRUE(library.Load());
        InterlockedExchange(&g_library_freed, 0);
        InterlockedExchange(&g_calls_after_free, 0);
        library.SetCallBack(SlowHandler, 1);
        ASSERT_TRUE(sim.Deliver(2, -1, 1000));
        ASSERT_TRUE(sim.WaitReturned(4 + round % 7));
        library.Release();
        InterlockedExchange(&g_library_freed, 1);
        harness::ExpectSoundRelease(sim.block());
        raced += sim->inflight_at_release > 0 ? 1 : 0;
        release_us.push_back(static_cast<long>(sim->release_us));
        // Nothing to wait for: a delivery still to come would show within a few periods.
        Sleep(20);
        EXPECT_EQ(g_calls_after_free, 0) << "handler called after FreeLibrary returned";
    }
    EXPECT_GT(raced, 0) << "no release began with a call under way: the race was not exercised";
    std::sort(release_us.begin(), release_us.end());
    printf("release under deliveries: %d of %d rounds began with a call under way; release took median %ld us, "
           "max %ld us\n",
           raced, kRounds, release_us[release_us.size() / 2], release_us.back());
}

// A handler that never returns (say, one waiting on something its program does only after
// the release): the release still ends within its budget, ending that thread.
HANDLE g_never_set = nullptr;
volatile LONG g_stuck_calls = 0;

int __stdcall StuckHandler(const void*) {
    InterlockedIncrement(&g_stuck_calls);
    WaitForSingleObject(g_never_set, INFINITE);
    return 0;
}

TEST(DataLibrary, ReleaseStaysWithinItsBudgetWhenAHandlerNeverReturns) {
    StagedLibrary staged(L"full");
    g_never_set = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SimControl sim;
    DataLibrary library;
    ASSERT_TRUE(library.Load());
    library.SetCallBack(StuckHandler, 1);
    ASSERT_TRUE(sim.Deliver(1, 1));
    const double deadline = harness::Seconds() + 10;
    while (g_stuck_calls == 0 && harness::Seconds() < deadline) Sleep(1);
    ASSERT_EQ(g_stuck_calls, 1);
    const double start = harness::Seconds();
    library.Release();
    const double took = harness::Seconds() - start;
    EXPECT_EQ(sim->released, 1);
    EXPECT_EQ(sim->inflight_at_release, 1);
    EXPECT_EQ(sim->threads_cut, 1);
    EXPECT_LE(sim->release_us, 1000000);
    EXPECT_LT(took, 1.1) << "FreeLibrary as a whole";
    printf("release with a handler that never returns: %ld us by the library's clock, %.0f ms around FreeLibrary\n",
           static_cast<long>(sim->release_us), took * 1e3);
}

// Runs a callable on a thread of its own.
class Thread {
public:
    template <typename F>
    explicit Thread(F* f) : handle_(CreateThread(nullptr, 0, &Run<F>, f, 0, nullptr)) {}
    // Waits for the thread; true when it ended within the timeout. A thread that did not
    // end is left to itself.
    bool Join(DWORD timeout_ms) { return WaitForSingleObject(handle_, timeout_ms) == WAIT_OBJECT_0; }
    ~Thread() { CloseHandle(handle_); }

private:
    template <typename F>
    static DWORD WINAPI Run(void* f) {
        (*static_cast<F*>(f))();
        return 0;
    }
    HANDLE handle_;
};

// One export called through DataLibrary, as the test names it.
int CallExport(DataLibrary& library, Export e) {
    korvane::PlayerDataRecord buffer = {};
    switch (e) {
        case kSetCallBack: return library.SetCallBack(QuietHandler, 1);
        case kIsAimp: return library.IsAimp();
        case kIsData: return library.IsData();
        case kGetData: return library.GetData(&buffer);
        case kExportCount: break;
    }
    return -1;
}

// A call inside the library on another thread when Release comes: the release waits
// for it, and every call after the release answers 0 without reaching the library.
TEST(DataLibrary, ReleaseWaitsForACallInsideTheLibraryAndLaterCallsReachNothing) {
    StagedLibrary staged(L"full");
    for (Export held : {kSetCallBack, kIsAimp, kIsData, kGetData}) {
        SCOPED_TRACE(testing::Message() << "held export " << held);
        SimControl sim;
        sim->is_aimp = sim->is_data = sim->get_data = 7;
        // The library, both threads and what they use live on the heap: when the test
        // fails they are left as they are, since letting the held call go would return
        // it into a freed library.
        struct Scene {
            DataLibrary library;
            Export held;
            int answer = -1;
            std::function<void()> call = [this] { answer = CallExport(library, held); };
            std::function<void()> release = [this] { library.Release(); };
            std::unique_ptr<Thread> caller, releaser;
        };
        auto scene = std::make_unique<Scene>();
        scene->held = held;
        ASSERT_TRUE(scene->library.Load());
        sim.Hold(held);
        scene->caller = std::make_unique<Thread>(&scene->call);
        ASSERT_TRUE(sim.WaitHeld(1));
        scene->releaser = std::make_unique<Thread>(&scene->release);
        // A release that did not wait would be long done.
        EXPECT_FALSE(scene->releaser->Join(300)) << "released under a call in flight";
        EXPECT_EQ(sim->released, 0);
        if (HasFailure()) {
            scene.release();
            return;
        }
        sim.LetGo();
        if (!scene->caller->Join(10000) || !scene->releaser->Join(10000)) {
            scene.release();
            FAIL() << "the held call or the release never ended";
        }
        EXPECT_EQ(scene->answer, held == kSetCallBack ? 1 : 7);
        DataLibrary& library = scene->library;
        harness::ExpectSoundRelease(sim.block());

        long before[kExportCount];
        for (int e = 0; e < kExportCount; ++e) before[e] = sim.Calls(static_cast<Export>(e));
        for (int e = 0; e < kExportCount; ++e) EXPECT_EQ(CallExport(library, static_cast<Export>(e)), 0) << e;
        for (int e = 0; e < kExportCount; ++e) EXPECT_EQ(sim.Calls(static_cast<Export>(e)), before[e]) << e;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (GetEnvironmentVariableW(L"KORVANE_TEST_PROBE", nullptr, 0) > 0) return RunProbe();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
