#include "bars_test_support.h"

#include <cmath>
#include <cstdio>

#include <gtest/gtest.h>

namespace bars_test {

float BinForLevel(float level) {
    if (level == 0.0f) return 0.0f;
    float bins[256] = {};
    // Start from the exact inverse and walk the neighbouring floats.
    const float guess = static_cast<float>(100.0 * std::pow(level / 100.0, 3.0));
    float down = guess, up = guess;
    for (int step = 0; step < 100000; ++step) {
        for (float v : {down, up}) {
            bins[0] = v;
            if (bars::ReduceBands(bins).level[0] == level) return v;
        }
        down = std::nextafter(down, 0.0f);
        up = std::nextafter(up, 1e30f);
    }
    return NAN;
}

std::vector<float> SpectrumFor(const bars::BandLevels& levels) {
    // Each band's last bin carries its level, the rest stay 0. Going from the right,
    // band 1 writes bin 1 after band 2, band 3 bin 2 and band 5 bin 4 on their own;
    // bands 4 and 6 then show the larger of their pair.
    std::vector<float> bins(256, 0.0f);
    for (int band = bars::kBandCount - 1; band >= 0; --band)
        bins[bars::BandTable[band].last] = BinForLevel(levels.level[band]);
    return bins;
}

BarsProgram::BarsProgram(const std::wstring& variant) : variant_(variant) {}

BarsProgram::~BarsProgram() {
    if (process.Running()) {
        if (window) PostMessageW(window, WM_CLOSE, 0, 0);
        if (process.WaitExit(10000) == STILL_ACTIVE) process.Kill();
    }
}

bool BarsProgram::Start() {
    if (!process.Start(harness::StagedProgram(variant_, L"bars_window"))) {
        ADD_FAILURE() << "bars_window did not start";
        return false;
    }
    window = harness::WaitForWindow(process.pid(), L"BarsWindow", nullptr, kStartTimeoutMs);
    if (!window) {
        ADD_FAILURE() << "no window";
        return false;
    }
    const std::vector<HWND> children = harness::Children(window);
    if (children.size() != 2) {
        ADD_FAILURE() << "window has " << children.size() << " children, want 2";
        return false;
    }
    label = children[0];
    canvas = children[1];
    return true;
}

bool BarsProgram::DeliverRecord(int r) {
    const long before = sim->deliveries_returned;
    return sim.Deliver(1, 1, 0, r, korvane::sim::kMaxRecords) && sim.WaitReturned(before + 1);
}

// Read through the top-level window: under Wine a child window of another process
// reads back black through its own DC.
std::vector<std::uint32_t> BarsProgram::Canvas() const {
    return harness::ReadClientPixels(window, kCanvasX, kCanvasY, kCanvasWidth, kCanvasHeight);
}

std::vector<std::uint32_t> BarsProgram::Label() const {
    return harness::ReadClientPixels(window, kLabelX, kLabelY, kLabelWidth, kLabelHeight);
}

namespace {

LRESULT CALLBACK PlainWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

}  // namespace

std::vector<std::uint32_t> LabelAsTheSystemDrawsIt(const std::wstring& text) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = PlainWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_3DFACE + 1);
    wc.lpszClassName = L"LabelReference";
    RegisterClassExW(&wc);
    // Top left of the screen, clear of the centred program window.
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP | WS_VISIBLE, 0, 0, 200, 40, nullptr, nullptr,
                                  wc.hInstance, nullptr);
    HWND label = CreateWindowExW(0, L"STATIC", text.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT, kLabelX, kLabelY,
                                 kLabelWidth, kLabelHeight, window, nullptr, wc.hInstance, nullptr);
    SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
    UpdateWindow(window);
    const DWORD start = GetTickCount();
    MSG message;
    while (GetTickCount() - start < 500) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        Sleep(10);
    }
    std::vector<std::uint32_t> pixels = harness::ReadClientPixels(window, kLabelX, kLabelY, kLabelWidth, kLabelHeight);
    DestroyWindow(window);
    return pixels;
}

namespace {

// Calls visit(x, y, hit code) for each point of the window's frame outside its client
// area, until visit returns true.
template <typename Visit>
bool ForEachFramePoint(HWND window, Visit visit) {
    RECT frame, client;
    GetWindowRect(window, &frame);
    GetClientRect(window, &client);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&client), 2);
    for (int y = frame.top; y < frame.bottom; ++y) {
        for (int x = frame.right - 1; x >= frame.left; --x) {
            if (x >= client.left && x < client.right && y >= client.top && y < client.bottom) continue;
            DWORD_PTR hit = HTNOWHERE;
            SendMessageTimeoutW(window, WM_NCHITTEST, 0, MAKELPARAM(x, y), SMTO_ABORTIFHUNG, 2000, &hit);
            if (visit(x, y, static_cast<LRESULT>(hit))) return true;
        }
    }
    return false;
}

}  // namespace

bool FindHitPoint(HWND window, LRESULT code, POINT* point) {
    return ForEachFramePoint(window, [&](int x, int y, LRESULT hit) {
        *point = {x, y};
        return hit == code;
    });
}

std::set<LRESULT> FrameHitCodes(HWND window) {
    std::set<LRESULT> codes;
    ForEachFramePoint(window, [&](int, int, LRESULT hit) {
        codes.insert(hit);
        return false;
    });
    return codes;
}

bool WaitForCanvas(const BarsProgram& program, const std::vector<std::uint32_t>& want, DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    while (program.Canvas() != want) {
        if (GetTickCount() - start > timeout_ms) return false;
        Sleep(50);
    }
    return true;
}

std::string FirstDifference(const std::vector<std::uint32_t>& got, const std::vector<std::uint32_t>& want,
                            int width) {
    if (got.size() != want.size()) return "sizes differ";
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i] != want[i]) {
            char text[96];
            std::snprintf(text, sizeof text, "first difference at (%d, %d): 0x%06X, want 0x%06X",
                          static_cast<int>(i % width), static_cast<int>(i / width), got[i], want[i]);
            return text;
        }
    }
    return "no difference";
}

}  // namespace bars_test
