#pragma once
// What the console monitors' tests share: starting a program with its output in a file
// or pipe, reading that output back as lines, typing into the program's console, and
// raising console control events in it.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"

namespace console_test {

// A float with exactly these bits (NaN payloads, negative zero).
inline float FromBits(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

constexpr wchar_t kLoadFailed[] = L"Не удалось загрузить библиотеку";
constexpr wchar_t kBoxText[] = L"Нажмите на 'OK' для завершения работы программы";
constexpr wchar_t kPollingTitle[] = L"Для закрытия окна нажмите на 'Enter'";

// Output as the programs must write it: UTF-16LE, no BOM, every line ended by CR LF.
// Fails the current test (and returns what it could read) when the bytes are not.
std::vector<std::wstring> DecodeLines(const std::vector<unsigned char>& bytes);

// A program started with standard output in a fresh file.
class RunWithFile {
public:
    RunWithFile(const std::wstring& variant, const std::wstring& program, const std::wstring& dir_name,
                HANDLE std_input = nullptr);
    RunWithFile(const std::wstring& exe, const std::wstring& dir_name);  // any program, by path
    ~RunWithFile();
    harness::Process& process() { return process_; }
    std::vector<std::wstring> Lines();            // fails the test on malformed output
    bool WaitLines(size_t n, DWORD timeout_ms);   // until at least n complete lines
    size_t Bytes();

private:
    harness::Process process_;
    std::wstring path_;
    HANDLE file_ = nullptr;
};

// Attaches the test to another process's console for its lifetime; events raised on
// that console are ignored by the test. Detach before closing the console's window.
class AttachedConsole {
public:
    explicit AttachedConsole(DWORD pid, DWORD timeout_ms = 10000);
    ~AttachedConsole();
    bool ok() const { return input_ != INVALID_HANDLE_VALUE; }
    bool Write(const std::vector<INPUT_RECORD>& events);
    std::wstring Title();
    std::wstring ScreenText(int chars);  // from the top left corner
    HWND Window();
    void Detach();

private:
    HANDLE input_ = INVALID_HANDLE_VALUE;
    HANDLE output_ = INVALID_HANDLE_VALUE;
    bool attached_ = false;
};

INPUT_RECORD KeyPress(wchar_t ch, WORD virtual_key, WORD repeat = 1);
INPUT_RECORD KeyRelease(wchar_t ch, WORD virtual_key);
inline INPUT_RECORD EnterPress() { return KeyPress(L'\r', VK_RETURN); }

// Types Enter into the program's console.
bool PressEnter(DWORD pid);

// Raises a console control event in a process the way the console host does: a new
// thread of that process running the system's control routine (kernelbase CtrlRoutine),
// which calls the process's handlers and then the default handling.
bool RaiseControlEvent(HANDLE process, DWORD event);

// Whether a message box of the process shows within the timeout.
HWND WaitForBox(DWORD pid, DWORD timeout_ms);

}  // namespace console_test
