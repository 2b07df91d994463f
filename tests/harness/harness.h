#pragma once
// Windows-side helpers for end-to-end tests: stage folders, the stand-in's control block,
// child processes with chosen standard handles, their windows, text and pixels, input.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim_control.h"

namespace harness {

// Staged folders made by the build: each holds the three programs and one variant of
// Korvane.dll: "full", "no_SetCallBack", "no_IsAimp", "no_IsData", "no_GetData",
// "not_pe" (a Korvane.dll that is not a PE image) and "missing" (none at all).
std::wstring StageDir(const std::wstring& variant);
std::wstring StagedProgram(const std::wstring& variant, const std::wstring& program);  // "bars_window"
// A fresh empty folder under the build tree, for working directories and output files.
std::wstring FreshDir(const std::wstring& name);

// The stand-in's control block in test mode. Creating one names it in this process's
// KORVANE_SIM_CONTROL, so every program started afterwards runs the stand-in in test
// mode against it; the destructor removes the variable again.
class SimControl {
public:
    SimControl();
    ~SimControl();
    SimControl(const SimControl&) = delete;
    SimControl& operator=(const SimControl&) = delete;

    korvane::sim::ControlBlock* operator->() { return block_; }
    korvane::sim::ControlBlock& block() { return *block_; }
    long Calls(korvane::sim::Export e) const { return block_->calls[e]; }

    // Fills record r (0..63) with zeros and sets bins; value at bin 120 shortcut.
    void SetRecordBins(int r, const std::vector<float>& bins);  // up to 256 values from bin 0
    void SetShownValue(int r, float value);                     // bin 120 of record r
    void SetGetDataShownValue(float value);

    // Holds every later call of export e inside the library (counted first) until
    // LetGo; WaitHeld waits until n calls are being held.
    void Hold(korvane::sim::Export e);
    void LetGo();
    bool WaitHeld(long n, DWORD timeout_ms = 10000);

    // Hands an order to the library and waits (up to timeout) until it has taken it.
    bool Deliver(int threads, int count, int interval_us = 0, int first = 0, int record_count = 1,
                 DWORD timeout_ms = 10000);
    // Ends every running order.
    void StopDeliveries();
    // Waits until deliveries_returned reaches n; false on timeout.
    bool WaitReturned(long n, DWORD timeout_ms = 10000);

private:
    HANDLE mapping_ = nullptr;
    HANDLE order_event_ = nullptr;
    HANDLE let_go_event_ = nullptr;
    korvane::sim::ControlBlock* block_ = nullptr;
};

// Seconds on the performance counter, for timing what the tests watch; the counter
// itself, comparable with the library's release_began_ticks.
double Seconds();
long long Ticks();
// Seconds on the system clock, comparable with Process::ExitTime.
double SystemSeconds();

// What the library reported about its release, checked alike by every test that frees
// it: released once, no handler call started after the release began, no thread ended
// inside a job, and the whole release within its one-second budget.
void ExpectSoundRelease(const korvane::sim::ControlBlock& block);

struct StartOptions {
    std::wstring working_dir;                  // empty: the program's own folder
    HANDLE std_input = nullptr;                // with STARTF_USESTDHANDLES when any is set
    HANDLE std_output = nullptr;
    HANDLE std_error = nullptr;
    bool detached = true;                      // DETACHED_PROCESS: no shared console
};

class Process {
public:
    Process() = default;
    ~Process();  // kills the process if it still runs
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool Start(const std::wstring& exe, const StartOptions& options = {});
    // Exit code, or STILL_ACTIVE when it did not end within the timeout.
    DWORD WaitExit(DWORD timeout_ms);
    bool Running() const;
    // When the process ended, on the SystemSeconds clock; 0 while it runs.
    double ExitTime() const;
    void Kill();
    DWORD pid() const { return pid_; }
    DWORD main_thread_id() const { return tid_; }
    HANDLE handle() const { return process_; }

private:
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
    DWORD tid_ = 0;
};

// Top-level windows of a process, by class name ("#32770" for a message box) and/or
// title; nullptr filters match anything. Waits up to timeout for one to be visible.
HWND WaitForWindow(DWORD pid, const wchar_t* class_name, const wchar_t* title, DWORD timeout_ms);
std::vector<HWND> TopLevelWindows(DWORD pid, const wchar_t* class_name = nullptr);
// Waits until the window's text equals `text`.
bool WaitForText(HWND hwnd, const std::wstring& text, DWORD timeout_ms);
std::wstring WindowText(HWND hwnd);
std::wstring ClassName(HWND hwnd);
// The children of a window in creation order.
std::vector<HWND> Children(HWND parent);
// The text of a message box (its static control).
std::wstring MessageBoxText(HWND box);
// Dismisses a dialog by pressing its default button with Enter, Esc, its OK button or
// its close box.
enum class Dismiss { kOkButton, kEnter, kEscape, kCloseBox };
bool DismissBox(HWND box, Dismiss how);

// Pixels of a window's client area as read back from the screen (GetDC + BitBlt into a
// 32-bit DIB), as 0x00BBGGRR values row by row from the top.
std::vector<std::uint32_t> ReadClientPixels(HWND hwnd, int x, int y, int width, int height);

// Output written by a child as UTF-16LE; reads the whole file.
std::vector<unsigned char> ReadFileBytes(const std::wstring& path);
// A file handle a child can inherit as standard output (created empty, shared read/write).
HANDLE CreateInheritableFile(const std::wstring& path);
// An inheritable pipe; read end not inherited.
bool CreateInheritablePipe(HANDLE* read_end, HANDLE* write_end, bool inherit_read_end);

}  // namespace harness
