// Console control events in both monitors while they work. Wine's console neither sends
// the close event when its window is closed nor raises Ctrl+Break, so those two are
// raised as the console host raises them on Windows: a thread of the program running
// kernelbase's CtrlRoutine. Ctrl+C goes through GenerateConsoleCtrlEvent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "console_test_support.h"

using namespace console_test;
using harness::SimControl;

namespace {

enum class Raise { kCloseEvent, kBreakEvent, kCtrlC, kCloseWindow };

bool RaiseIn(harness::Process& process, Raise how) {
    switch (how) {
        case Raise::kCloseEvent:
            return RaiseControlEvent(process.handle(), CTRL_CLOSE_EVENT);
        case Raise::kBreakEvent:
            return RaiseControlEvent(process.handle(), CTRL_BREAK_EVENT);
        case Raise::kCtrlC: {
            AttachedConsole console(process.pid());  // the test ignores the event itself
            return console.ok() && GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
        }
        case Raise::kCloseWindow: {
            AttachedConsole console(process.pid());
            HWND window = console.Window();
            console.Detach();  // or the close would end the test too
            return window && PostMessageW(window, WM_CLOSE, 0, 0);
        }
    }
    return false;
}

// Starts the program in a working state: the callback console under a stream of
// deliveries from several threads, the polling console printing records.
void StartWorking(SimControl& sim, RunWithFile& run, const std::wstring& program, int threads) {
    if (program == L"callback_console") {
        ASSERT_TRUE(WaitForBox(run.process().pid(), 15000));
        ASSERT_TRUE(sim.Deliver(threads, -1, 0, 0, 2));
        ASSERT_TRUE(sim.WaitReturned(50, 15000));
    } else {
        ASSERT_TRUE(run.WaitLines(5, 15000));
    }
}

SimControl& Prepared(SimControl& sim) {
    sim->is_data = 1;
    sim->get_data = 1;
    sim.SetGetDataShownValue(0.1f);
    sim.SetShownValue(0, 1.5f);
    sim.SetShownValue(1, -7.25f);
    return sim;
}

// Windows gives a console-close handler this long before it ends the process itself.
constexpr double kExitBudgetSeconds = 5.0;

// The system's default handling ends the process: with STATUS_CONTROL_C_EXIT on
// Windows, 0 under Wine; anything else (an exception code) is a crash.
bool EndedByDefaultHandling(DWORD code) { return code == 0 || code == STATUS_CONTROL_C_EXIT; }

// Waits for the end and checks how: ended by the default handling, within the budget
// from `raised_at`. Returns how long it took.
double ExpectEnded(RunWithFile& run, double raised_at) {
    const DWORD code = run.process().WaitExit(10000);
    EXPECT_NE(code, static_cast<DWORD>(STILL_ACTIVE)) << "hang";
    EXPECT_TRUE(EndedByDefaultHandling(code)) << "exit code 0x" << std::hex << code;
    const double took = run.process().ExitTime() - raised_at;
    if (code != STILL_ACTIVE) {
        EXPECT_LT(took, kExitBudgetSeconds);
    }
    return took;
}

// Holds the program's main thread still. Wine 8 can hang ending a process whose main
// thread it killed inside one of its own locked sections (see
// DISABLED_WineHangsEndingAProcessOnALockOfAThreadItKilled); a thread is suspended only
// outside them.
bool SuspendMainThread(harness::Process& process) {
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, process.main_thread_id());
    const bool suspended = thread && SuspendThread(thread) != static_cast<DWORD>(-1);
    if (thread) CloseHandle(thread);
    return suspended;
}

TEST(CloseEvents, EndTheProgramReleasingTheLibraryOnlyOnClose) {
    // The polling console's main thread is always busy in system calls, the callback
    // console's sits in its message box. For Ctrl+Break, which releases nothing, the
    // polling console's main thread is held still (see SuspendMainThread). A close must
    // release the library, which takes the main thread's lock, and under Wine Ctrl+C
    // reaches the process through its main thread: there it runs free.
    const struct {
        const char* name;
        const wchar_t* program;
        Raise how;
        bool releases;
    } cases[] = {
        {"callback, close event", L"callback_console", Raise::kCloseEvent, true},
        {"callback, Ctrl+Break", L"callback_console", Raise::kBreakEvent, false},
        {"callback, Ctrl+C", L"callback_console", Raise::kCtrlC, false},
        {"polling, close event", L"polling_console", Raise::kCloseEvent, true},
        {"polling, Ctrl+Break", L"polling_console", Raise::kBreakEvent, false},
        {"polling, Ctrl+C", L"polling_console", Raise::kCtrlC, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimControl sim;
        Prepared(sim);
        RunWithFile run(L"full", c.program, L"close_events");
        StartWorking(sim, run, c.program, 2);
        if (HasFatalFailure()) return;
        if (c.how == Raise::kBreakEvent && std::wstring(c.program) == L"polling_console") {
            ASSERT_TRUE(SuspendMainThread(run.process()));
        }
        const double raised_at = harness::SystemSeconds();
        ASSERT_TRUE(RaiseIn(run.process(), c.how));
        ExpectEnded(run, raised_at);
        if (c.releases) {
            harness::ExpectSoundRelease(sim.block());
        } else {
            EXPECT_EQ(sim->released, 0);
        }
        run.Lines();  // whole lines only, up to the end
    }
}

TEST(CloseEvents, CloseDuringDeliveriesNeverCrashesOrHangs) {
    constexpr int kRounds = 30;
    int raced = 0;
    std::vector<double> exits;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        SimControl sim;
        Prepared(sim);
        RunWithFile run(L"full", L"callback_console", L"close_during_deliveries");
        StartWorking(sim, run, L"callback_console", 1 + round % 4);
        if (HasFatalFailure()) return;
        const double raised_at = harness::SystemSeconds();
        ASSERT_TRUE(RaiseIn(run.process(), Raise::kCloseEvent));
        exits.push_back(ExpectEnded(run, raised_at));
        if (HasFailure()) {
            FAIL() << "released " << sim->released << ", deliveries started " << sim->deliveries_started
                   << ", returned " << sim->deliveries_returned;
        }
        harness::ExpectSoundRelease(sim.block());
        raced += sim->inflight_at_release > 0 ? 1 : 0;
        for (const auto& line : run.Lines()) ASSERT_TRUE(line == L"1.5" || line == L"-7.25");
    }
    EXPECT_GT(raced, 0) << "no release began with a line being printed: the race was not exercised";
    std::sort(exits.begin(), exits.end());
    printf("console closes under deliveries: %d of %d releases began with a call under way; exit median %.0f ms, "
           "max %.0f ms\n",
           raced, kRounds, exits[exits.size() / 2] * 1e3, exits.back() * 1e3);
}

// Expected to fail, so kept out of the default run (--gtest_also_run_disabled_tests runs
// it). Wine 8 now and then never finishes ending a process that the console's default
// handling ends: NtTerminateProcess kills the main thread while it holds a lock inside
// Wine's own code, and the exiting thread, in a signal handler on its way out, waits on
// that lock forever. No code of ours is on either thread: the program here has no
// library and no handler, only a main thread busy in system calls (first seen with the
// polling console and Ctrl+Break, 3 times in 931 runs); never with that thread suspended
// first, as the test above does.
TEST(CloseEvents, DISABLED_WineHangsEndingAProcessOnALockOfAThreadItKilled) {
    constexpr int kRuns = 1000;
    int hangs = 0;
    for (int i = 0; i < kRuns; ++i) {
        RunWithFile run(KORVANE_BUSY_CONSOLE_MAIN_THREAD, L"wine_exit_hang");
        ASSERT_TRUE(run.WaitLines(5, 15000));
        ASSERT_TRUE(RaiseIn(run.process(), Raise::kBreakEvent));
        if (run.process().WaitExit(10000) == STILL_ACTIVE) {
            ++hangs;
            printf("run %d: the process never finished ending\n", i);
        }
    }
    EXPECT_EQ(hangs, 0) << hangs << " of " << kRuns << " runs hung";
}

// Under Wine closing the window ends the program without a close event; on Windows the
// close event comes first. Either way the program must end and leave whole lines.
TEST(CloseEvents, ClosingTheConsoleWindowEndsTheProgram) {
    for (const wchar_t* program : {L"callback_console", L"polling_console"}) {
        SCOPED_TRACE(std::string(program, program + wcslen(program)));
        SimControl sim;
        Prepared(sim);
        RunWithFile run(L"full", program, L"close_window");
        StartWorking(sim, run, program, 2);
        if (HasFatalFailure()) return;
        ASSERT_TRUE(RaiseIn(run.process(), Raise::kCloseWindow));
        EXPECT_NE(run.process().WaitExit(10000), static_cast<DWORD>(STILL_ACTIVE));
        run.Lines();
    }
}

}  // namespace
