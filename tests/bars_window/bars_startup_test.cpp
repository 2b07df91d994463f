// Start-up paths: no library (a message box over the window), a library lacking
// IsAimp or SetCallBack, and a delivery that comes before the first status update.
#include <gtest/gtest.h>

#include <string>

#include "bars_test_support.h"
#include "reference_frame.h"

namespace {

using bars_test::BarsProgram;
using harness::Dismiss;
namespace sim = korvane::sim;

const std::vector<std::uint32_t> kWhiteCanvas(180 * 64, 0xFFFFFF);

std::vector<HWND> ChildrenOfClass(HWND parent, const wchar_t* class_name) {
    std::vector<HWND> found;
    for (HWND child : harness::Children(parent))
        if (harness::ClassName(child) == class_name) found.push_back(child);
    return found;
}

bool Overlap(HWND a, HWND b) {
    RECT ra, rb, both;
    return GetWindowRect(a, &ra) && GetWindowRect(b, &rb) && IntersectRect(&both, &ra, &rb);
}

// Moves the box off the canvas and waits until it stays off: a box that its own thread
// is still placing can be put back over the window.
bool MoveBoxOffCanvas(HWND box, HWND canvas, DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    int clear = 0;  // looks in a row that found the canvas uncovered
    while (clear < 3) {
        if (GetTickCount() - start > timeout_ms) return false;
        if (Overlap(box, canvas)) {
            clear = 0;
            SetWindowPos(box, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        } else {
            ++clear;
        }
        Sleep(50);
    }
    return true;
}

// What is on the screen at the canvas's centre, for a failure message.
std::string WhatCoversTheCanvas(HWND canvas) {
    RECT r;
    GetWindowRect(canvas, &r);
    const POINT centre = {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    HWND there = WindowFromPoint(centre);
    if (there == canvas) return "the canvas itself is on top";
    DWORD pid = 0;
    GetWindowThreadProcessId(there, &pid);
    const std::wstring name = harness::ClassName(there);
    return "on top at the canvas's centre: class " + std::string(name.begin(), name.end()) + " of process " +
           std::to_string(pid);
}

// Every way of dismissing the box ends the program with exit code 0; the library that
// cannot be loaded is absent or not a PE image.
TEST(BarsWindowStartUp, UnloadableLibraryIsReportedInABoxOverTheWindow) {
    const struct {
        const wchar_t* variant;
        Dismiss how;
    } kCases[] = {
        {L"missing", Dismiss::kOkButton},
        {L"not_pe", Dismiss::kEnter},
        {L"missing", Dismiss::kEscape},
        {L"not_pe", Dismiss::kCloseBox},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << "variant " << std::string(c.variant, c.variant + wcslen(c.variant))
                                        << ", dismissal " << static_cast<int>(c.how));
        BarsProgram program(c.variant);
        ASSERT_TRUE(program.Start());
        HWND box = harness::WaitForWindow(program.process.pid(), L"#32770", nullptr, bars_test::kStartTimeoutMs);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(harness::WindowText(box), L"");
        EXPECT_EQ(harness::MessageBoxText(box), bars_test::kLoadFailed);
        const std::vector<HWND> buttons = ChildrenOfClass(box, L"Button");
        ASSERT_EQ(buttons.size(), 1u) << "one OK button";
        EXPECT_EQ(GetDlgCtrlID(buttons[0]), IDOK);
        // The box keeps an icon control of its own; it holds no icon.
        for (HWND icon : ChildrenOfClass(box, L"Static")) {
            if ((GetWindowLongW(icon, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) continue;
            DWORD_PTR shown = 0;
            SendMessageTimeoutW(icon, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &shown);
            EXPECT_FALSE(IsWindowVisible(icon) && shown) << "no icon";
        }

        // Over the visible window, which cannot be used meanwhile; no status, no timer.
        EXPECT_TRUE(IsWindowVisible(program.window));
        EXPECT_FALSE(IsWindowEnabled(program.window));
        Sleep(1500);
        EXPECT_EQ(harness::WindowText(program.label), L"");
        // The box sits over the canvas; moved aside, it uncovers a white canvas.
        EXPECT_TRUE(MoveBoxOffCanvas(box, program.canvas, bars_test::kFlushTimeoutMs)) << "the box stays over the canvas";
        EXPECT_TRUE(bars_test::WaitForCanvas(program, kWhiteCanvas, bars_test::kFlushTimeoutMs))
            << bars_test::FirstDifference(program.Canvas(), kWhiteCanvas, 180) << "; program " << program.process.pid()
            << ", " << WhatCoversTheCanvas(program.canvas);

        ASSERT_TRUE(harness::DismissBox(box, c.how));
        EXPECT_EQ(program.process.WaitExit(15000), 0u);
    }
}

TEST(BarsWindowStartUp, LibraryLackingIsAimpShowsNotRunningAndStillDraws) {
    BarsProgram program(L"no_IsAimp");
    program.sim->is_aimp = 1;
    ASSERT_TRUE(program.Start());
    EXPECT_TRUE(harness::WaitForText(program.label, bars_test::kPlayerNotRunning, 5000));
    Sleep(1500);  // past a tick
    EXPECT_EQ(harness::WindowText(program.label), bars_test::kPlayerNotRunning);
    EXPECT_EQ(program.sim.Calls(sim::kIsAimp), 0);

    const bars::BandLevels levels = reference::Uniform(50.0f);
    program.sim.SetRecordBins(0, bars_test::SpectrumFor(levels));
    ASSERT_TRUE(program.DeliverRecord(0));
    EXPECT_TRUE(bars_test::WaitForCanvas(program, reference::Frame(levels, 180, 64), bars_test::kFlushTimeoutMs));
    PostMessageW(program.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.process.WaitExit(15000), 0u);
}

TEST(BarsWindowStartUp, LibraryLackingSetCallBackRunsWithoutDeliveries) {
    BarsProgram program(L"no_SetCallBack");
    ASSERT_TRUE(program.Start());
    EXPECT_TRUE(harness::WaitForText(program.label, bars_test::kPlayerRunning, 5000));
    program.sim.SetRecordBins(0, bars_test::SpectrumFor(reference::Uniform(50.0f)));
    EXPECT_FALSE(program.sim.Deliver(1, 1, 0, 0, 1, 2000)) << "nobody takes orders without SetCallBack";
    EXPECT_EQ(program.Canvas(), kWhiteCanvas);
    EXPECT_TRUE(harness::TopLevelWindows(program.process.pid(), L"#32770").empty()) << "nothing is reported";
    PostMessageW(program.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.process.WaitExit(15000), 0u);
}

// The order waits in the control block, so the library delivers it the moment
// SetCallBack starts its thread, racing the first status update.
TEST(BarsWindowStartUp, DeliveryBeforeTheFirstStatusUpdateIsDrawn) {
    BarsProgram program;
    const bars::BandLevels levels = reference::Uniform(21.544346f);
    program.sim.SetRecordBins(0, bars_test::SpectrumFor(levels));
    ASSERT_TRUE(program.process.Start(harness::StagedProgram(L"full", L"bars_window")));
    ASSERT_TRUE(program.sim.Deliver(1, 1, 0, 0, 1, bars_test::kStartTimeoutMs));
    ASSERT_TRUE(program.sim.WaitReturned(1));
    const long status_calls = program.sim.Calls(sim::kIsAimp);
    program.window = harness::WaitForWindow(program.process.pid(), L"BarsWindow", nullptr, 5000);
    ASSERT_NE(program.window, nullptr);
    program.canvas = harness::Children(program.window).at(1);
    const auto want = reference::Frame(levels, 180, 64);
    EXPECT_TRUE(bars_test::WaitForCanvas(program, want, bars_test::kFlushTimeoutMs))
        << bars_test::FirstDifference(program.Canvas(), want, 180);
    RecordProperty("status_updates_before_the_frame_returned", static_cast<int>(status_calls));
    PostMessageW(program.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.process.WaitExit(15000), 0u);
}

}  // namespace
