// Console control events in both monitors while they work. Wine's console neither sends
// the close event when its window is closed nor raises Ctrl+Break, so those two are
// raised as the console host raises them on Windows: a thread of the program running
// kernelbase's CtrlRoutine. Ctrl+C goes through GenerateConsoleCtrlEvent.
#include <gtest/gtest.h>

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

TEST(CloseEvents, EndTheProgramReleasingTheLibraryOnlyOnClose) {
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
        // Under Wine, a process that the default handling ends while library threads are
        // still writing now and then never finishes its exit (seen about once in twenty
        // runs, inside Wine's teardown). One fresh try tells that apart from a program
        // that ignores the event, which would stay up both times.
        for (int attempt = 0; attempt < 2; ++attempt) {
            SimControl sim;
            Prepared(sim);
            RunWithFile run(L"full", c.program, L"close_events");
            StartWorking(sim, run, c.program, 2);
            if (HasFatalFailure()) return;
            ASSERT_TRUE(RaiseIn(run.process(), c.how));
            // Ended by the system's default handling, not an orderly exit.
            const DWORD code = run.process().WaitExit(10000);
            if (code == STILL_ACTIVE && !c.releases && attempt == 0) continue;
            EXPECT_NE(code, static_cast<DWORD>(STILL_ACTIVE));
            EXPECT_EQ(sim->released, c.releases ? 1 : 0);
            if (c.releases) {
                EXPECT_EQ(sim->inflight_at_release, 0);
            }
            run.Lines();  // whole lines only, up to the end
            break;
        }
    }
}

TEST(CloseEvents, CloseDuringDeliveriesNeverCrashesOrHangs) {
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        SimControl sim;
        Prepared(sim);
        RunWithFile run(L"full", L"callback_console", L"close_during_deliveries");
        StartWorking(sim, run, L"callback_console", 1 + round % 4);
        if (HasFatalFailure()) return;
        ASSERT_TRUE(RaiseIn(run.process(), Raise::kCloseEvent));
        const DWORD code = run.process().WaitExit(10000);
        ASSERT_NE(code, static_cast<DWORD>(STILL_ACTIVE))
            << "hang: released " << sim->released << ", deliveries started " << sim->deliveries_started
            << ", returned " << sim->deliveries_returned;
        EXPECT_NE(code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION)) << "crash";
        EXPECT_EQ(sim->released, 1);
        EXPECT_EQ(sim->inflight_at_release, 0);
        for (const auto& line : run.Lines()) ASSERT_TRUE(line == L"1.5" || line == L"-7.25");
    }
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
