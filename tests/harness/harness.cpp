#include "harness.h"

#include <gtest/gtest.h>

#include <cstring>

using korvane::sim::ControlBlock;

namespace harness {

std::wstring StageDir(const std::wstring& variant) {
    return std::wstring(KORVANE_STAGE_DIR) + L"/" + variant;
}

std::wstring StagedProgram(const std::wstring& variant, const std::wstring& program) {
    return StageDir(variant) + L"/" + program + L".exe";
}

std::wstring FreshDir(const std::wstring& name) {
    CreateDirectoryW(KORVANE_TEST_TMP, nullptr);
    const std::wstring dir = std::wstring(KORVANE_TEST_TMP) + L"/" + name;
    CreateDirectoryW(dir.c_str(), nullptr);
    // Empty it: leftovers of an earlier run must not count.
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"/*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((dir + L"/" + found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return dir;
}

// ---- SimControl --------------------------------------------------------------------

SimControl::SimControl() {
    static LONG counter = 0;
    wchar_t name[128];
    wsprintfW(name, L"Local\\korvane-sim-%lu-%ld", GetCurrentProcessId(), InterlockedIncrement(&counter));
    mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(ControlBlock), name);
    block_ = static_cast<ControlBlock*>(MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(ControlBlock)));
    std::memset(block_, 0, sizeof(ControlBlock));
    block_->magic = korvane::sim::kControlMagic;
    block_->is_aimp = 1;
    order_event_ = CreateEventW(nullptr, FALSE, FALSE, (std::wstring(name) + korvane::sim::kOrderEventSuffix).c_str());
    let_go_event_ = CreateEventW(nullptr, TRUE, FALSE, (std::wstring(name) + korvane::sim::kLetGoEventSuffix).c_str());
    SetEnvironmentVariableW(korvane::sim::kControlVariable, name);
}

SimControl::~SimControl() {
    SetEnvironmentVariableW(korvane::sim::kControlVariable, nullptr);
    if (block_) UnmapViewOfFile(block_);
    if (mapping_) CloseHandle(mapping_);
    if (order_event_) CloseHandle(order_event_);
    if (let_go_event_) CloseHandle(let_go_event_);
}

void SimControl::Hold(korvane::sim::Export e) {
    ResetEvent(let_go_event_);
    InterlockedOr(&block_->hold_exports, 1L << e);
}

void SimControl::LetGo() {
    InterlockedExchange(&block_->hold_exports, 0);
    SetEvent(let_go_event_);
}

bool SimControl::WaitHeld(long n, DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    while (block_->held_calls < n) {
        if (GetTickCount() - start > timeout_ms) return false;
        Sleep(1);
    }
    return true;
}

void SimControl::SetRecordBins(int r, const std::vector<float>& bins) {
    std::memset(&block_->records[r], 0, sizeof block_->records[r]);
    for (size_t i = 0; i < bins.size() && i < korvane::kSpectrumBinCount; ++i) {
        korvane::SetSpectrumBin(&block_->records[r], i, bins[i]);
    }
}

void SimControl::SetShownValue(int r, float value) {
    korvane::SetSpectrumBin(&block_->records[r], korvane::kShownBin, value);
}

void SimControl::SetGetDataShownValue(float value) {
    korvane::SetSpectrumBin(&block_->get_data_record, korvane::kShownBin, value);
}

bool SimControl::Deliver(int threads, int count, int interval_us, int first, int record_count,
                         DWORD timeout_ms) {
    block_->order = {threads, count, interval_us, first, record_count};
    const long seq = InterlockedIncrement(&block_->order_seq);
    SetEvent(order_event_);
    const DWORD start = GetTickCount();
    while (block_->order_taken != seq) {
        if (GetTickCount() - start > timeout_ms) return false;
        Sleep(1);
    }
    return true;
}

void SimControl::StopDeliveries() { InterlockedIncrement(&block_->stop_seq); }

bool SimControl::WaitReturned(long n, DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    while (block_->deliveries_returned < n) {
        if (GetTickCount() - start > timeout_ms) return false;
        Sleep(1);
    }
    return true;
}

long long Ticks() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double Seconds() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

namespace {
double FileTimeSeconds(const FILETIME& t) {
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
}
}  // namespace

double SystemSeconds() {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return FileTimeSeconds(now);
}

void ExpectSoundRelease(const ControlBlock& block) {
    EXPECT_EQ(block.released, 1);
    EXPECT_EQ(block.late_deliveries, 0) << "handler calls started after the release began";
    EXPECT_EQ(block.threads_cut, 0) << "library threads ended inside a job";
    EXPECT_LE(block.release_us, 1000000) << "release over its budget";
}

// ---- Process -----------------------------------------------------------------------

Process::~Process() {
    Kill();
    if (process_) CloseHandle(process_);
}

bool Process::Start(const std::wstring& exe, const StartOptions& options) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    const bool redirect = options.std_input || options.std_output || options.std_error;
    if (redirect) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = options.std_input;
        startup.hStdOutput = options.std_output;
        startup.hStdError = options.std_error;
    }
    std::wstring command = L"\"" + exe + L"\"";
    std::wstring dir = options.working_dir;
    if (dir.empty()) {
        const size_t slash = exe.find_last_of(L"/\\");
        dir = exe.substr(0, slash);
    }
    PROCESS_INFORMATION info = {};
    const DWORD flags = (options.detached ? DETACHED_PROCESS : 0) | CREATE_UNICODE_ENVIRONMENT;
    if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, redirect ? TRUE : FALSE, flags, nullptr,
                        dir.c_str(), &startup, &info)) {
        return false;
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    pid_ = info.dwProcessId;
    tid_ = info.dwThreadId;
    return true;
}

DWORD Process::WaitExit(DWORD timeout_ms) {
    if (!process_) return STILL_ACTIVE;
    if (WaitForSingleObject(process_, timeout_ms) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_, &code);
    return code;
}

double Process::ExitTime() const {
    FILETIME created, exited, kernel, user;
    if (Running() || !GetProcessTimes(process_, &created, &exited, &kernel, &user)) return 0;
    return FileTimeSeconds(exited);
}

bool Process::Running() const { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

void Process::Kill() {
    if (Running()) {
        TerminateProcess(process_, 99);
        WaitForSingleObject(process_, 5000);
    }
}

// ---- windows -----------------------------------------------------------------------

std::wstring ClassName(HWND hwnd) {
    wchar_t name[256] = {};
    GetClassNameW(hwnd, name, 256);
    return name;
}

std::wstring WindowText(HWND hwnd) {
    wchar_t text[1024] = {};
    // WM_GETTEXT works across processes for any window; GetWindowText does not for controls.
    SendMessageTimeoutW(hwnd, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, nullptr);
    return text;
}

namespace {

struct FindArgs {
    DWORD pid;
    const wchar_t* class_name;
    std::vector<HWND>* out;
};

BOOL CALLBACK CollectTopLevel(HWND hwnd, LPARAM lparam) {
    auto* args = reinterpret_cast<FindArgs*>(lparam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == args->pid && (!args->class_name || ClassName(hwnd) == args->class_name)) args->out->push_back(hwnd);
    return TRUE;
}

BOOL CALLBACK CollectChild(HWND hwnd, LPARAM lparam) {
    auto* out = reinterpret_cast<std::vector<HWND>*>(lparam);
    out->push_back(hwnd);
    return TRUE;
}

}  // namespace

std::vector<HWND> TopLevelWindows(DWORD pid, const wchar_t* class_name) {
    std::vector<HWND> found;
    FindArgs args = {pid, class_name, &found};
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&args));
    return found;
}

HWND WaitForWindow(DWORD pid, const wchar_t* class_name, const wchar_t* title, DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        for (HWND hwnd : TopLevelWindows(pid, class_name)) {
            if (IsWindowVisible(hwnd) && (!title || WindowText(hwnd) == title)) return hwnd;
        }
        if (GetTickCount() - start > timeout_ms) return nullptr;
        Sleep(20);
    }
}

bool WaitForText(HWND hwnd, const std::wstring& text, DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    while (WindowText(hwnd) != text) {
        if (GetTickCount() - start > timeout_ms) return false;
        Sleep(20);
    }
    return true;
}

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> found;
    EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&found));
    return found;
}

std::wstring MessageBoxText(HWND box) {
    // The message text is the box's static control with id 0xFFFF.
    HWND text = GetDlgItem(box, 0xFFFF);
    if (text) return WindowText(text);
    for (HWND child : Children(box)) {
        if (ClassName(child) == L"Static" && !WindowText(child).empty()) return WindowText(child);
    }
    return L"";
}

bool DismissBox(HWND box, Dismiss how) {
    switch (how) {
        case Dismiss::kOkButton: {
            HWND ok = GetDlgItem(box, IDOK);
            if (!ok) return false;
            return PostMessageW(ok, BM_CLICK, 0, 0) != 0;
        }
        case Dismiss::kEnter:
        case Dismiss::kEscape: {
            // Keys go to the focused control; the dialog's loop turns them into commands.
            const WPARAM key = how == Dismiss::kEnter ? VK_RETURN : VK_ESCAPE;
            GUITHREADINFO info = {};
            info.cbSize = sizeof info;
            HWND target = box;
            if (GetGUIThreadInfo(GetWindowThreadProcessId(box, nullptr), &info) && info.hwndFocus) {
                target = info.hwndFocus;
            }
            return PostMessageW(target, WM_KEYDOWN, key, 1) && PostMessageW(target, WM_KEYUP, key, 0xC0000001);
        }
        case Dismiss::kCloseBox:
            return PostMessageW(box, WM_SYSCOMMAND, SC_CLOSE, 0) != 0;
    }
    return false;
}

std::vector<std::uint32_t> ReadClientPixels(HWND hwnd, int x, int y, int width, int height) {
    std::vector<std::uint32_t> pixels(static_cast<size_t>(width) * height, 0xFFFFFFFFu);
    HDC window_dc = GetDC(hwnd);
    if (!window_dc) return pixels;
    HDC memory = CreateCompatibleDC(window_dc);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(window_dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (memory && bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, window_dc, x, y, SRCCOPY);
        GdiFlush();
        const auto* src = static_cast<const std::uint32_t*>(bits);
        for (size_t i = 0; i < pixels.size(); ++i) {
            const std::uint32_t bgra = src[i];  // 0xAARRGGBB in memory order B,G,R,A
            pixels[i] = ((bgra & 0xFF) << 16) | (bgra & 0xFF00) | ((bgra >> 16) & 0xFF);
        }
        SelectObject(memory, old);
    }
    if (bitmap) DeleteObject(bitmap);
    if (memory) DeleteDC(memory);
    ReleaseDC(hwnd, window_dc);
    return pixels;
}

// ---- files -------------------------------------------------------------------------

std::vector<unsigned char> ReadFileBytes(const std::wstring& path) {
    std::vector<unsigned char> bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    unsigned char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    CloseHandle(file);
    return bytes;
}

HANDLE CreateInheritableFile(const std::wstring& path) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool CreateInheritablePipe(HANDLE* read_end, HANDLE* write_end, bool inherit_read_end) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(read_end, write_end, &inherit, 0)) return false;
    SetHandleInformation(inherit_read_end ? *write_end : *read_end, HANDLE_FLAG_INHERIT, 0);
    return true;
}

}  // namespace harness
