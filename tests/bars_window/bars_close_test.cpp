// Shut-down: the three ways to close take one path (library released, then the window,
// exit code 0 within a few seconds), also while two library threads deliver at full speed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "bars_test_support.h"
#include "reference_frame.h"

namespace {

using bars_test::BarsProgram;
namespace sim = korvane::sim;

enum class CloseBy { kCloseButton, kAltF4, kWindowMenu };

const char* Name(CloseBy how) {
    switch (how) {
        case CloseBy::kCloseButton: return "close button";
        case CloseBy::kAltF4: return "Alt+F4";
        case CloseBy::kWindowMenu: return "window menu";
    }
    return "?";
}

void SendKey(WORD key, bool up) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key;
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    SendInput(1, &input, sizeof input);
}

// As a user would: a click on the close button, Alt+F4 typed into the active window,
// and the window menu's Close (the command that menu item sends).
bool RequestClose(HWND window, CloseBy how) {
    switch (how) {
        case CloseBy::kCloseButton: {
            // The press and release the system's own button tracking sees; without a
            // window manager Wine draws no frame on the X screen to click on.
            POINT button;
            if (!bars_test::FindHitPoint(window, HTCLOSE, &button)) return false;
            SetCursorPos(button.x, button.y);
            return PostMessageW(window, WM_NCLBUTTONDOWN, HTCLOSE, MAKELPARAM(button.x, button.y)) &&
                   PostMessageW(window, WM_LBUTTONUP, 0, 0);
        }
        case CloseBy::kAltF4:
            SetForegroundWindow(window);
            SendKey(VK_MENU, false);
            SendKey(VK_F4, false);
            SendKey(VK_F4, true);
            SendKey(VK_MENU, true);
            return true;
        case CloseBy::kWindowMenu:
            return PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0) != 0;
    }
    return false;
}

// An orderly close ends the program with exit code 0 within this, from the request.
// (Under Wine without a window manager, destroying the window alone waits 2 s for the X
// window to be withdrawn.)
constexpr double kExitBudgetSeconds = 5.0;

// What every orderly close leaves behind: exit code 0, soon, and a sound release.
// Returns how long the exit took.
double ExpectCleanExit(BarsProgram& program, double requested_at) {
    EXPECT_EQ(program.process.WaitExit(30000), 0u);
    const double took = program.process.ExitTime() - requested_at;
    EXPECT_LT(took, kExitBudgetSeconds);
    harness::ExpectSoundRelease(program.sim.block());
    EXPECT_EQ(program.sim.Calls(sim::kSetCallBack), 1);
    EXPECT_EQ(program.sim->callback_mode, 1);
    return took;
}

// Watches the window until it is gone; returns the performance counter just before the
// last look that still found it (0 on timeout), so the window stood at that time.
long long LastSeenStanding(HWND window, double timeout_s) {
    const double deadline = harness::Seconds() + timeout_s;
    long long seen = 0;
    for (;;) {
        const long long now = harness::Ticks();
        if (!IsWindow(window)) return seen;
        seen = now;
        if (harness::Seconds() > deadline) return 0;
    }
}

// Each way to close, while a library thread delivers: the library is released while
// the window still stands (its canvas is what deliveries draw on), then the program
// ends with exit code 0.
TEST(BarsWindowClose, EveryCloseRequestTakesTheSamePath) {
    for (CloseBy how : {CloseBy::kCloseButton, CloseBy::kAltF4, CloseBy::kWindowMenu}) {
        SCOPED_TRACE(Name(how));
        BarsProgram program;
        ASSERT_TRUE(program.Start());
        program.sim.SetRecordBins(0, bars_test::SpectrumFor(reference::Uniform(50.0f)));
        ASSERT_TRUE(program.DeliverRecord(0));
        ASSERT_TRUE(program.sim.Deliver(1, -1, 1000));
        const double requested_at = harness::SystemSeconds();
        ASSERT_TRUE(RequestClose(program.window, how));
        const long long standing = LastSeenStanding(program.window, 15.0);
        ExpectCleanExit(program, requested_at);
        EXPECT_GT(standing, program.sim->release_began_ticks) << "window destroyed before the release began";
    }
}

// Closing while two library threads deliver every millisecond each: exit code 0 within
// the budget, a sound release every time, and some releases that began with a frame
// being drawn (or the race was not exercised). A few programs run at once to keep the
// 50 runs short; each has its own control block.
TEST(BarsWindowClose, ClosingWhileTwoThreadsDeliverFiftyTimes) {
    constexpr int kRuns = 50;
    constexpr int kAtOnce = 5;
    int raced = 0;
    std::vector<double> exits;
    std::vector<long> releases;
    for (int batch = 0; batch < kRuns / kAtOnce; ++batch) {
        double requested_at[kAtOnce] = {};
        std::unique_ptr<BarsProgram> programs[kAtOnce];
        for (auto& program : programs) {
            program = std::make_unique<BarsProgram>();  // names its block for the next start
            program->sim.SetRecordBins(0, bars_test::SpectrumFor(reference::Uniform(100.0f)));
            program->sim.SetRecordBins(1, bars_test::SpectrumFor(reference::Uniform(10.0f)));
            ASSERT_TRUE(program->process.Start(harness::StagedProgram(L"full", L"bars_window")));
        }
        for (int i = 0; i < kAtOnce; ++i) {
            SCOPED_TRACE(testing::Message() << "run " << batch * kAtOnce + i);
            BarsProgram& program = *programs[i];
            program.window = harness::WaitForWindow(program.process.pid(), L"BarsWindow", nullptr,
                                                    bars_test::kStartTimeoutMs);
            ASSERT_NE(program.window, nullptr);
            ASSERT_TRUE(program.sim.Deliver(2, -1, 1000, i, 2));
            ASSERT_TRUE(program.sim.WaitReturned(20 + 10 * i));
            requested_at[i] = harness::SystemSeconds();
            ASSERT_TRUE(PostMessageW(program.window, WM_CLOSE, 0, 0));
        }
        for (int i = 0; i < kAtOnce; ++i) {
            SCOPED_TRACE(testing::Message() << "run " << batch * kAtOnce + i);
            BarsProgram& program = *programs[i];
            exits.push_back(ExpectCleanExit(program, requested_at[i]));
            releases.push_back(static_cast<long>(program.sim->release_us));
            raced += program.sim->inflight_at_release > 0 ? 1 : 0;
        }
    }
    EXPECT_GT(raced, 0) << "no release began with a frame being drawn: the race was not exercised";
    std::sort(exits.begin(), exits.end());
    std::sort(releases.begin(), releases.end());
    printf("bars closes under deliveries: %d of %d releases began with a call under way; release median %ld us, "
           "max %ld us; exit median %.0f ms, max %.0f ms\n",
           raced, kRuns, releases[releases.size() / 2], releases.back(), exits[exits.size() / 2] * 1e3,
           exits.back() * 1e3);
}

}  // namespace
