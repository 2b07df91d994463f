#include "console_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace console_test {

std::vector<std::wstring> DecodeLines(const std::vector<unsigned char>& bytes) {
    std::vector<std::wstring> lines;
    EXPECT_EQ(bytes.size() % 2, 0u) << "odd number of bytes: not UTF-16";
    if (bytes.size() >= 2) {
        EXPECT_FALSE(bytes[0] == 0xFF && bytes[1] == 0xFE) << "byte-order mark written";
    }
    std::wstring line;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const wchar_t unit = static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
        if (unit == L'\r') {
            const bool lf = i + 3 < bytes.size() && bytes[i + 2] == '\n' && bytes[i + 3] == 0;
            EXPECT_TRUE(lf) << "CR without LF after line " << lines.size();
            if (!lf) return lines;
            lines.push_back(line);
            line.clear();
            i += 2;
        } else {
            EXPECT_NE(unit, L'\n') << "LF without CR after line " << lines.size();
            line.push_back(unit);
        }
    }
    EXPECT_TRUE(line.empty()) << "output ends inside a line";
    return lines;
}

RunWithFile::RunWithFile(const std::wstring& variant, const std::wstring& program, const std::wstring& dir_name,
                         HANDLE std_input) {
    path_ = harness::FreshDir(dir_name) + L"/out.txt";
    file_ = harness::CreateInheritableFile(path_);
    harness::StartOptions options;
    options.std_input = std_input;
    options.std_output = file_;
    EXPECT_TRUE(process_.Start(harness::StagedProgram(variant, program), options));
}

RunWithFile::RunWithFile(const std::wstring& exe, const std::wstring& dir_name) {
    path_ = harness::FreshDir(dir_name) + L"/out.txt";
    file_ = harness::CreateInheritableFile(path_);
    harness::StartOptions options;
    options.std_output = file_;
    EXPECT_TRUE(process_.Start(exe, options));
}

RunWithFile::~RunWithFile() {
    process_.Kill();
    if (file_ && file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
}

std::vector<std::wstring> RunWithFile::Lines() { return DecodeLines(harness::ReadFileBytes(path_)); }

size_t RunWithFile::Bytes() { return harness::ReadFileBytes(path_).size(); }

bool RunWithFile::WaitLines(size_t n, DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        const auto bytes = harness::ReadFileBytes(path_);
        size_t ends = 0;
        for (size_t i = 0; i + 3 < bytes.size(); i += 2)
            if (bytes[i] == '\r' && bytes[i + 1] == 0 && bytes[i + 2] == '\n' && bytes[i + 3] == 0) ++ends;
        if (ends >= n) return true;
        if (GetTickCount() - start > timeout_ms) return false;
        Sleep(10);
    }
}

namespace {

BOOL WINAPI IgnoreEvents(DWORD) { return TRUE; }

HANDLE OpenConsoleFile(const wchar_t* name) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

}  // namespace

AttachedConsole::AttachedConsole(DWORD pid, DWORD timeout_ms) {
    SetConsoleCtrlHandler(IgnoreEvents, TRUE);
    FreeConsole();
    const DWORD start = GetTickCount();
    // The program opens its console only once it runs.
    while (!(attached_ = AttachConsole(pid) != FALSE)) {
        if (GetTickCount() - start > timeout_ms) return;
        Sleep(5);
    }
    input_ = OpenConsoleFile(L"CONIN$");
    output_ = OpenConsoleFile(L"CONOUT$");
}

// The handler stays: an event raised on the console reaches the test on a thread of its
// own, possibly after the test has detached.
AttachedConsole::~AttachedConsole() { Detach(); }

void AttachedConsole::Detach() {
    if (input_ != INVALID_HANDLE_VALUE) CloseHandle(input_);
    if (output_ != INVALID_HANDLE_VALUE) CloseHandle(output_);
    input_ = output_ = INVALID_HANDLE_VALUE;
    if (attached_) FreeConsole();
    attached_ = false;
}

bool AttachedConsole::Write(const std::vector<INPUT_RECORD>& events) {
    DWORD written = 0;
    return WriteConsoleInputW(input_, events.data(), static_cast<DWORD>(events.size()), &written) &&
           written == events.size();
}

std::wstring AttachedConsole::Title() {
    wchar_t title[512] = {};
    GetConsoleTitleW(title, 512);
    return title;
}

std::wstring AttachedConsole::ScreenText(int chars) {
    std::wstring text(static_cast<size_t>(chars), L'\0');
    DWORD read = 0;
    ReadConsoleOutputCharacterW(output_, &text[0], static_cast<DWORD>(chars), COORD{0, 0}, &read);
    text.resize(read);
    return text;
}

HWND AttachedConsole::Window() { return GetConsoleWindow(); }

INPUT_RECORD KeyPress(wchar_t ch, WORD virtual_key, WORD repeat) {
    INPUT_RECORD record;
    std::memset(&record, 0, sizeof record);
    record.EventType = KEY_EVENT;
    record.Event.KeyEvent.bKeyDown = TRUE;
    record.Event.KeyEvent.wRepeatCount = repeat;
    record.Event.KeyEvent.wVirtualKeyCode = virtual_key;
    record.Event.KeyEvent.wVirtualScanCode = static_cast<WORD>(MapVirtualKeyW(virtual_key, MAPVK_VK_TO_VSC));
    record.Event.KeyEvent.uChar.UnicodeChar = ch;
    return record;
}

INPUT_RECORD KeyRelease(wchar_t ch, WORD virtual_key) {
    INPUT_RECORD record = KeyPress(ch, virtual_key);
    record.Event.KeyEvent.bKeyDown = FALSE;
    return record;
}

bool PressEnter(DWORD pid) {
    AttachedConsole console(pid);
    return console.ok() && console.Write({EnterPress(), KeyRelease(L'\r', VK_RETURN)});
}

bool RaiseControlEvent(HANDLE process, DWORD event) {
    // System DLLs sit at the same address in every process of the session.
    const auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine")));
    if (!routine) return false;
    HANDLE thread = CreateRemoteThread(process, nullptr, 0, routine,
                                       reinterpret_cast<void*>(static_cast<DWORD_PTR>(event)), 0, nullptr);
    if (!thread) return false;
    CloseHandle(thread);
    return true;
}

HWND WaitForBox(DWORD pid, DWORD timeout_ms) { return harness::WaitForWindow(pid, L"#32770", nullptr, timeout_ms); }

}  // namespace console_test
