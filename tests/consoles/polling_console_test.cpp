// polling_console end to end: the outcome of each pass, its console, and its key poll.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "console_test_support.h"

using namespace console_test;
using harness::SimControl;
using korvane::sim::kGetData;
using korvane::sim::kIsData;

namespace {

constexpr wchar_t kProgram[] = L"polling_console";

bool WaitCalls(SimControl& sim, korvane::sim::Export e, long n, DWORD timeout_ms = 15000) {
    const DWORD start = GetTickCount();
    while (sim.Calls(e) < n) {
        if (GetTickCount() - start > timeout_ms) return false;
        Sleep(5);
    }
    return true;
}

TEST(PollingConsole, PrintsOneLinePerPassForEachOutcome) {
    const struct {
        const char* name;
        const wchar_t* variant;
        long is_data, get_data;
        float value;
        const wchar_t* line;
    } cases[] = {
        {"no record", L"full", 0, 1, 1.5f, L"Wait"},
        {"GetData fails: buffer not read", L"full", 1, 0, 1.5f, L"Error"},
        {"record", L"full", 1, 1, 1.5f, L"1.5"},
        {"record, negative infinity", L"full", 1, 1, FromBits(0xFF800000u), L"-Infinity"},
        {"record, tiny negative", L"full", 1, 1, -2.25e-11f, L"-0"},
        {"library lacks IsData", L"no_IsData", 1, 1, 1.5f, L"Wait"},
        {"library lacks GetData", L"no_GetData", 1, 1, 1.5f, L"Error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimControl sim;
        sim->is_data = c.is_data;
        sim->get_data = c.get_data;
        sim.SetGetDataShownValue(c.value);
        RunWithFile run(c.variant, kProgram, L"polling_outcomes");
        ASSERT_TRUE(run.WaitLines(3, 15000));
        ASSERT_TRUE(PressEnter(run.process().pid()));
        EXPECT_EQ(run.process().WaitExit(10000), 0u);
        EXPECT_EQ(sim->released, 1);
        const auto lines = run.Lines();
        ASSERT_GE(lines.size(), 3u);
        for (const auto& line : lines) ASSERT_EQ(line, c.line);
        if (c.is_data == 0) {
            EXPECT_EQ(sim.Calls(kGetData), 0) << "GetData only after IsData said yes";
        }
    }
}

TEST(PollingConsole, TitlesItsConsoleWindow) {
    SimControl sim;
    RunWithFile run(L"full", kProgram, L"polling_title");
    AttachedConsole console(run.process().pid());
    ASSERT_TRUE(console.ok());
    ASSERT_TRUE(WaitCalls(sim, kIsData, 1));  // the console is set up by the first pass
    EXPECT_EQ(console.Title(), kPollingTitle);
    ASSERT_TRUE(console.Write({EnterPress()}));
    EXPECT_EQ(run.process().WaitExit(10000), 0u);
}

// A pipe made full before the program starts: its first line cannot be written, and so
// its first key poll cannot come, until the test drains the pipe.
constexpr DWORD kNoWait = PIPE_NOWAIT, kWait = PIPE_WAIT;

DWORD FillPipe(HANDLE write_end) {
    DWORD mode = kNoWait;
    SetNamedPipeHandleState(write_end, &mode, nullptr, nullptr);
    const char byte = 'x';
    DWORD total = 0, written = 0;
    while (total < (1u << 20) && WriteFile(write_end, &byte, 1, &written, nullptr) && written == 1) ++total;
    mode = kWait;
    SetNamedPipeHandleState(write_end, &mode, nullptr, nullptr);
    return total;
}

INPUT_RECORD Event(WORD type) {
    INPUT_RECORD record;
    std::memset(&record, 0, sizeof record);
    record.EventType = type;
    if (type == WINDOW_BUFFER_SIZE_EVENT) record.Event.WindowBufferSizeEvent.dwSize = COORD{80, 25};
    if (type == FOCUS_EVENT) record.Event.FocusEvent.bSetFocus = TRUE;
    if (type == MOUSE_EVENT) record.Event.MouseEvent.dwButtonState = FROM_LEFT_1ST_BUTTON_PRESSED;
    return record;
}

TEST(PollingConsole, TakesOneKeyPressPerPassAndEndsOnEnter) {
    const struct {
        const char* name;
        std::vector<INPUT_RECORD> events;
        size_t passes;
    } cases[] = {
        {"Enter before the first pass: the pass still runs", {EnterPress(), KeyRelease(L'\r', VK_RETURN)}, 1},
        {"other keys, one per pass, then Enter",
         {KeyPress(L'a', 'A'), KeyRelease(L'a', 'A'), KeyPress(L'b', 'B'), KeyRelease(L'b', 'B'),
          KeyPress(L'c', 'C'), EnterPress()},
         4},
        {"a repeat count of 5 counts once", {KeyPress(L'x', 'X', 5), EnterPress()}, 2},
        {"releases, mouse, focus, menu and size events are dropped",
         {KeyRelease(L'a', 'A'), Event(MOUSE_EVENT), Event(FOCUS_EVENT), Event(MENU_EVENT),
          Event(WINDOW_BUFFER_SIZE_EVENT), EnterPress()},
         1},
        {"keys without a character still take a pass",
         {KeyPress(0, VK_LEFT), KeyPress(0, VK_F5), KeyPress(0, VK_SHIFT), EnterPress()},
         4},
        {"a key after Enter is never reached", {EnterPress(), KeyPress(L'q', 'Q')}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimControl sim;  // IsData 0: every pass prints "Wait"
        HANDLE read_end = nullptr, write_end = nullptr;
        ASSERT_TRUE(harness::CreateInheritablePipe(&read_end, &write_end, false));
        const DWORD prefill = FillPipe(write_end);
        ASSERT_GT(prefill, 0u);

        harness::Process process;
        harness::StartOptions options;
        options.std_output = write_end;
        ASSERT_TRUE(process.Start(harness::StagedProgram(L"full", kProgram), options));
        CloseHandle(write_end);
        AttachedConsole console(process.pid());
        ASSERT_TRUE(console.ok());
        ASSERT_TRUE(console.Write(c.events));

        // Drain until the program has ended; no end of file is awaited, as the console
        // host may hold an inherited copy of the write end.
        std::vector<unsigned char> bytes;
        const DWORD start = GetTickCount();
        for (;;) {
            const bool ended = !process.Running();
            DWORD available = 0;
            PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr);
            if (available > 0) {
                char chunk[4096];
                DWORD got = 0;
                if (!ReadFile(read_end, chunk, available < sizeof chunk ? available : sizeof chunk, &got, nullptr)) break;
                bytes.insert(bytes.end(), chunk, chunk + got);
            } else if (ended || GetTickCount() - start > 20000) {
                break;
            } else {
                Sleep(5);
            }
        }
        CloseHandle(read_end);
        EXPECT_EQ(process.WaitExit(10000), 0u);
        // Still attached: the console outlives the program. Keys must not have been echoed.
        EXPECT_EQ(console.ScreenText(80).find_first_not_of(L' '), std::wstring::npos);

        ASSERT_GE(bytes.size(), prefill);
        const auto lines = DecodeLines(std::vector<unsigned char>(bytes.begin() + prefill, bytes.end()));
        EXPECT_EQ(lines.size(), c.passes);
        for (const auto& line : lines) EXPECT_EQ(line, L"Wait");
        EXPECT_EQ(sim.Calls(kIsData), static_cast<long>(c.passes));
    }
}

TEST(PollingConsole, InputThatIsNotAConsoleNeverEndsTheLoop) {
    SimControl sim;
    HANDLE read_end = nullptr, write_end = nullptr;
    ASSERT_TRUE(harness::CreateInheritablePipe(&read_end, &write_end, true));
    DWORD written = 0;
    WriteFile(write_end, "\r\n\r\n", 4, &written, nullptr);  // line ends are no key presses
    RunWithFile run(L"full", kProgram, L"polling_pipe_input", read_end);
    ASSERT_TRUE(run.WaitLines(5, 15000));
    const size_t before = run.Lines().size();
    Sleep(500);
    EXPECT_TRUE(run.process().Running());
    EXPECT_GT(run.Lines().size(), before);
    ASSERT_TRUE(RaiseControlEvent(run.process().handle(), CTRL_CLOSE_EVENT));
    EXPECT_NE(run.process().WaitExit(10000), static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(sim->released, 1);
    CloseHandle(read_end);
    CloseHandle(write_end);
}

}  // namespace
