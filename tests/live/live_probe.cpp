// live_probe MODE SECONDS: the Windows side of the live-sound tests. The host side
// (live_sound_test.py) sets KORVANE_SIM_CAPTURE, plays sound into the private sound
// server and reads what this prints on standard output, one fact a line, each stamped
// with the wall clock (Unix milliseconds) so it lines up with what the host did. Each
// mode prints "ready ms" when what it watches has started and its SECONDS begin: a
// program can take seconds to start on a busy machine, and the host times its sound
// from then.
//   records  the staged stand-in loaded in this process for SECONDS:
//            "R ms peak_bin peak_value bin120" per delivered record, "A ms isaimp" per
//            IsAimp change, "D text" per debugger line it wrote, then "release_ms N".
//   bars     the staged bars_window for SECONDS, its canvas read every 50 ms:
//            "B ms h0 .. h17" (bar heights in pixels), then "S status" and "X exitcode"
//            after closing it.
//   polling  the staged polling_console for SECONDS with its output in a file, then
//            "P line" per printed line and "X exitcode".
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "harness.h"
#include "player_data_record.h"

namespace {

long long UnixMs() {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    const unsigned long long t = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<long long>(t / 10000ULL) - 11644473600000LL;
}

void Line(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Ready() { Line("ready " + std::to_string(UnixMs())); }

std::string Utf8(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

// ---- records -----------------------------------------------------------------------

struct Record {
    long long ms;
    int peak_bin;
    float peak;
    float bin120;
};
// Written by the library's delivery thread, read by the main thread after the release.
constexpr int kMaxRecords = 1 << 16;
Record g_records[kMaxRecords];
volatile LONG g_record_count = 0;

int __stdcall OnRecord(const void* record) {
    const LONG i = InterlockedIncrement(&g_record_count) - 1;
    if (i >= kMaxRecords) return 0;
    Record& r = g_records[i];
    r.ms = UnixMs();
    r.peak_bin = 0;
    r.peak = korvane::SpectrumBin(record, 0);
    for (std::size_t k = 1; k < korvane::kSpectrumBinCount; ++k) {
        const float v = korvane::SpectrumBin(record, k);
        if (v > r.peak) {
            r.peak = v;
            r.peak_bin = static_cast<int>(k);
        }
    }
    r.bin120 = korvane::SpectrumBin(record, korvane::kShownBin);
    return 0;
}

// The library's debugger lines, caught in this process: OutputDebugString raises an
// exception that a vectored handler sees first, with or without a debugger.
std::vector<std::string>* g_debug_lines = nullptr;  // main thread sets it; library threads append
CRITICAL_SECTION g_debug_lock;

LONG CALLBACK OnDebugString(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* e = info->ExceptionRecord;
    if (e->ExceptionCode == DBG_PRINTEXCEPTION_C && e->NumberParameters >= 2 && g_debug_lines) {
        const char* text = reinterpret_cast<const char*>(e->ExceptionInformation[1]);
        std::string line(text, e->ExceptionInformation[0] ? e->ExceptionInformation[0] - 1 : 0);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        EnterCriticalSection(&g_debug_lock);
        g_debug_lines->push_back(line);
        LeaveCriticalSection(&g_debug_lock);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

int Records(double seconds) {
    std::vector<std::string> debug_lines;
    InitializeCriticalSection(&g_debug_lock);
    g_debug_lines = &debug_lines;
    PVOID handler = AddVectoredExceptionHandler(1, OnDebugString);
    const std::wstring dll = harness::StageDir(L"full") + L"/Korvane.dll";
    HMODULE library = LoadLibraryW(dll.c_str());
    if (!library) {
        Line("error: cannot load the stand-in");
        return 1;
    }
    using SetCallBackFn = int(__stdcall*)(const void*, int);
    using IsAimpFn = int(__stdcall*)();
    auto set_callback = reinterpret_cast<SetCallBackFn>(reinterpret_cast<void*>(GetProcAddress(library, "SetCallBack")));
    auto is_aimp = reinterpret_cast<IsAimpFn>(reinterpret_cast<void*>(GetProcAddress(library, "IsAimp")));
    set_callback(reinterpret_cast<const void*>(&OnRecord), 1);
    Ready();
    std::vector<std::pair<long long, int>> aimp;
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
    int last = -1;
    while (GetTickCount64() < end) {
        const int now = is_aimp() ? 1 : 0;
        if (now != last) aimp.emplace_back(UnixMs(), now);
        last = now;
        Sleep(20);
    }
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    FreeLibrary(library);
    QueryPerformanceCounter(&t1);
    RemoveVectoredExceptionHandler(handler);
    g_debug_lines = nullptr;
    const LONG count = g_record_count < kMaxRecords ? g_record_count : kMaxRecords;
    char text[160];
    for (LONG i = 0; i < count; ++i) {
        const Record& r = g_records[i];
        std::snprintf(text, sizeof text, "R %lld %d %.4f %.4f", r.ms, r.peak_bin, r.peak, r.bin120);
        Line(text);
    }
    for (const auto& [ms, value] : aimp) {
        std::snprintf(text, sizeof text, "A %lld %d", ms, value);
        Line(text);
    }
    for (const std::string& d : debug_lines) Line("D " + d);
    std::snprintf(text, sizeof text, "release_ms %.1f",
                  1000.0 * static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(f.QuadPart));
    Line(text);
    return 0;
}

// ---- bars --------------------------------------------------------------------------

constexpr int kCanvasX = 10, kCanvasY = 28, kCanvasWidth = 180, kCanvasHeight = 64;

// Bar i's height: its middle column's rows that are not grey (the background is grey,
// every bar row has red and green apart).
std::string BarHeights(const std::vector<std::uint32_t>& canvas) {
    std::string out;
    for (int bar = 0; bar < 18; ++bar) {
        const int x = bar * 10 + 4;
        int height = 0;
        for (int y = 0; y < kCanvasHeight; ++y) {
            const std::uint32_t p = canvas[static_cast<std::size_t>(y) * kCanvasWidth + x];
            if ((p & 0xFF) != ((p >> 8) & 0xFF)) ++height;
        }
        out += " " + std::to_string(height);
    }
    return out;
}

int Bars(double seconds) {
    harness::Process program;
    if (!program.Start(harness::StagedProgram(L"full", L"bars_window"))) {
        Line("error: cannot start bars_window");
        return 1;
    }
    HWND window = harness::WaitForWindow(program.pid(), nullptr, nullptr, 60000);
    if (!window) {
        Line("error: no window");
        return 1;
    }
    Ready();
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
    while (GetTickCount64() < end) {
        const auto canvas = harness::ReadClientPixels(window, kCanvasX, kCanvasY, kCanvasWidth, kCanvasHeight);
        if (canvas.size() == static_cast<std::size_t>(kCanvasWidth) * kCanvasHeight)
            Line("B " + std::to_string(UnixMs()) + BarHeights(canvas));
        Sleep(50);
    }
    const std::vector<HWND> children = harness::Children(window);
    Line("S " + (children.empty() ? std::string() : Utf8(harness::WindowText(children[0]))));
    PostMessageW(window, WM_CLOSE, 0, 0);
    Line("X " + std::to_string(program.WaitExit(30000)));
    return 0;
}

// ---- polling -----------------------------------------------------------------------

int Polling(double seconds) {
    const std::wstring dir = harness::FreshDir(L"live_polling");
    const std::wstring out_path = dir + L"/out.txt";
    HANDLE out = harness::CreateInheritableFile(out_path);
    harness::StartOptions options;
    options.std_output = out;
    options.std_error = out;
    harness::Process program;
    if (!program.Start(harness::StagedProgram(L"full", L"polling_console"), options)) {
        Line("error: cannot start polling_console");
        return 1;
    }
    // Ready once it has printed its first whole line.
    const ULONGLONG give_up = GetTickCount64() + 60000;
    for (;;) {
        const std::vector<unsigned char> bytes = harness::ReadFileBytes(out_path);
        if (bytes.size() >= 4 && bytes[bytes.size() - 4] == '\r' && bytes[bytes.size() - 2] == '\n') break;
        if (GetTickCount64() > give_up) {
            Line("error: polling_console printed no line");
            return 1;
        }
        Sleep(10);
    }
    Ready();
    Sleep(static_cast<DWORD>(seconds * 1000));
    program.Kill();
    CloseHandle(out);
    const std::vector<unsigned char> bytes = harness::ReadFileBytes(out_path);
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    std::size_t start = 0;
    for (std::size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        Line("P " + Utf8(text.substr(start, end - start)));
    Line("X killed");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        Line("usage: live_probe records|bars|polling SECONDS");
        return 2;
    }
    const std::wstring mode = argv[1];
    const double seconds = _wtof(argv[2]);
    if (mode == L"records") return Records(seconds);
    if (mode == L"bars") return Bars(seconds);
    if (mode == L"polling") return Polling(seconds);
    Line("unknown mode");
    return 2;
}
