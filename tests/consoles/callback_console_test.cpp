// callback_console end to end: deliveries of the stand-in in test mode, output in a file.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <cstring>
#include <map>

#include "console_test_support.h"

using namespace console_test;
using harness::Dismiss;
using harness::SimControl;
using korvane::sim::kSetCallBack;

namespace {

constexpr wchar_t kProgram[] = L"callback_console";

TEST(CallbackConsole, PrintsEachDeliveryAsAWholeLineTheMomentItArrives) {
    const struct {
        float value;
        const wchar_t* line;
    } records[] = {
        {1.5f, L"1.5"},           {0.0f, L"0"},
        {-0.0f, L"0"},            {FromBits(0xFF800000u), L"-Infinity"},
        {FromBits(0x7FC00001u), L"NaN"}, {-2.25e-11f, L"-0"},
        {100.0f, L"100"},         {0.1f, L"0.1000000015"},
        {123456.789f, L"123456.7890625"}, {-7.25f, L"-7.25"},
    };
    constexpr int kCount = sizeof records / sizeof records[0];
    SimControl sim;
    for (int r = 0; r < kCount; ++r) sim.SetShownValue(r, records[r].value);
    RunWithFile run(L"full", kProgram, L"callback_lines");
    HWND box = WaitForBox(run.process().pid(), 15000);
    ASSERT_TRUE(box);
    EXPECT_EQ(sim->callback_mode, 1);

    for (int r = 0; r < kCount; ++r) {
        ASSERT_TRUE(sim.Deliver(1, 1, 0, r, kCount));
        ASSERT_TRUE(sim.WaitReturned(r + 1));
        // The handler has returned: its line must already be whole in the file.
        const auto lines = run.Lines();
        ASSERT_EQ(lines.size(), static_cast<size_t>(r + 1));
        EXPECT_EQ(lines.back(), records[r].line) << "record " << r;
    }
    ASSERT_TRUE(harness::DismissBox(box, Dismiss::kOkButton));
    EXPECT_EQ(run.process().WaitExit(10000), 0u);
    EXPECT_EQ(sim->released, 1);
    EXPECT_EQ(run.Lines().size(), static_cast<size_t>(kCount));
}

TEST(CallbackConsole, DeliveriesFromFourThreadsAtOnceComeOutWholeAndAllCounted) {
    constexpr int kThreads = 4, kPerThread = 300, kRecords = 4;
    const wchar_t* const kLines[kRecords] = {L"1.5", L"-2.25", L"0.1000000015", L"-Infinity"};
    SimControl sim;
    sim.SetShownValue(0, 1.5f);
    sim.SetShownValue(1, -2.25f);
    sim.SetShownValue(2, 0.1f);
    sim.SetShownValue(3, FromBits(0xFF800000u));
    RunWithFile run(L"full", kProgram, L"callback_threads");
    HWND box = WaitForBox(run.process().pid(), 15000);
    ASSERT_TRUE(box);
    ASSERT_TRUE(sim.Deliver(kThreads, kPerThread, 0, 0, kRecords));
    ASSERT_TRUE(sim.WaitReturned(kThreads * kPerThread, 60000));
    ASSERT_TRUE(harness::DismissBox(box, Dismiss::kOkButton));
    EXPECT_EQ(run.process().WaitExit(10000), 0u);

    std::map<std::wstring, int> seen;
    for (const auto& line : run.Lines()) ++seen[line];
    std::map<std::wstring, int> expected;
    for (const wchar_t* line : kLines) expected[line] = kThreads * kPerThread / kRecords;
    EXPECT_EQ(seen, expected);
}

TEST(CallbackConsole, ShowsItsBoxAndEndsAfterReleaseHoweverTheBoxIsDismissed) {
    const struct {
        const char* name;
        Dismiss how;
    } cases[] = {
        {"OK button", Dismiss::kOkButton},
        {"Enter", Dismiss::kEnter},
        {"Esc", Dismiss::kEscape},
        {"close box", Dismiss::kCloseBox},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimControl sim;
        RunWithFile run(L"full", kProgram, L"callback_box");
        HWND box = WaitForBox(run.process().pid(), 15000);
        ASSERT_TRUE(box);
        EXPECT_EQ(harness::MessageBoxText(box), kBoxText);
        EXPECT_EQ(harness::WindowText(box), L"");
        int buttons = 0, icons = 0;
        for (HWND child : harness::Children(box)) {
            if (harness::ClassName(child) == L"Button") ++buttons;
            // The dialog may keep an empty icon control when the box has no icon.
            if (harness::ClassName(child) == L"Static" &&
                (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
                SendMessageW(child, STM_GETICON, 0, 0) != 0)
                ++icons;
        }
        EXPECT_EQ(buttons, 1);
        EXPECT_EQ(icons, 0);
        EXPECT_EQ(sim.Calls(kSetCallBack), 1);

        ASSERT_TRUE(harness::DismissBox(box, c.how));
        EXPECT_EQ(run.process().WaitExit(10000), 0u);
        EXPECT_EQ(sim->released, 1);
        EXPECT_EQ(run.Bytes(), 0u) << "nothing was delivered, nothing may be printed";
    }
}

TEST(CallbackConsole, WithoutSetCallBackShowsTheBoxAndPrintsNothing) {
    SimControl sim;
    RunWithFile run(L"no_SetCallBack", kProgram, L"callback_no_setcallback");
    HWND box = WaitForBox(run.process().pid(), 15000);
    ASSERT_TRUE(box);
    Sleep(300);
    EXPECT_EQ(run.Bytes(), 0u);
    ASSERT_TRUE(harness::DismissBox(box, Dismiss::kOkButton));
    EXPECT_EQ(run.process().WaitExit(10000), 0u);
    EXPECT_EQ(sim->released, 1);
    EXPECT_EQ(run.Bytes(), 0u);
}

}  // namespace
