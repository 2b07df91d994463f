// Both console monitors when Korvane.dll cannot be loaded: one line, no box, a wait for
// Enter on the console or a line of redirected input, then exit code 0.
#include <gtest/gtest.h>

#include <string>

#include "console_test_support.h"

using namespace console_test;

namespace {

const wchar_t* const kPrograms[] = {L"callback_console", L"polling_console"};
const wchar_t* const kVariants[] = {L"missing", L"not_pe"};

TEST(LoadFailure, PrintsOneLineShowsNoBoxAndWaitsForEnter) {
    for (const wchar_t* program : kPrograms) {
        for (const wchar_t* variant : kVariants) {
            SCOPED_TRACE(std::string(program, program + wcslen(program)) + " / " +
                         std::string(variant, variant + wcslen(variant)));
            harness::SimControl sim;
            RunWithFile run(variant, program, L"load_failure");
            ASSERT_TRUE(run.WaitLines(1, 15000));
            Sleep(500);  // a box, or a second line, would show by now
            EXPECT_TRUE(run.process().Running()) << "must wait for Enter";
            EXPECT_TRUE(harness::TopLevelWindows(run.process().pid(), L"#32770").empty());
            ASSERT_TRUE(PressEnter(run.process().pid()));
            EXPECT_EQ(run.process().WaitExit(10000), 0u);
            const auto lines = run.Lines();
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0], kLoadFailed);
            EXPECT_EQ(sim.Calls(korvane::sim::kIsData), 0);
        }
    }
}

// Input from a pipe: the wait ends at the first line end (CR, LF or CR LF) or at the
// end of the input, and nothing behind that line end is taken.
TEST(LoadFailure, RedirectedInputIsReadUpToTheFirstLineEndOnly) {
    const struct {
        const char* name;
        const char* input;
        bool close_input;
        const char* left;
    } cases[] = {
        {"CR LF", "typed\r\nrest", false, "rest"},
        {"LF", "typed\nrest", false, "rest"},
        {"CR", "typed\rrest", false, "rest"},
        {"empty line", "\r\n\r\n", false, "\r\n"},
        {"end of input", "no line end", true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE read_end = nullptr, write_end = nullptr;
        ASSERT_TRUE(harness::CreateInheritablePipe(&read_end, &write_end, true));
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(write_end, c.input, static_cast<DWORD>(strlen(c.input)), &written, nullptr));
        if (c.close_input) {
            CloseHandle(write_end);
            write_end = nullptr;
        }
        {
            RunWithFile run(L"missing", L"polling_console", L"load_failure_pipe", read_end);
            EXPECT_EQ(run.process().WaitExit(15000), 0u);
            const auto lines = run.Lines();
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0], kLoadFailed);
        }
        char left[64] = {};
        DWORD available = 0, peeked = 0;
        PeekNamedPipe(read_end, left, sizeof left - 1, &peeked, &available, nullptr);
        EXPECT_STREQ(left, c.left);
        CloseHandle(read_end);
        if (write_end) CloseHandle(write_end);
    }
}

}  // namespace
