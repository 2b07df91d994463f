// bars_window: a small fixed window that shows whether the AIMP player runs and paints
// the spectrum Korvane.dll delivers as 18 bars, one frame per delivered record.
#include <windows.h>

#include "band_reduction.h"
#include "bars_canvas.h"
#include "data_library.h"
#include "player_data_record.h"

namespace bars {
namespace {

constexpr wchar_t kClassName[] = L"BarsWindow";
constexpr wchar_t kTitle[] = L"\u041f\u043b\u0430\u0433\u0438\u043d AIMP";  // Плагин AIMP
constexpr wchar_t kPlayerRunning[] =                                       // Плеер работает
    L"\u041f\u043b\u0435\u0435\u0440 \u0440\u0430\u0431\u043e\u0442\u0430\u0435\u0442";
constexpr wchar_t kPlayerNotRunning[] =                                    // Плеер не запущен
    L"\u041f\u043b\u0435\u0435\u0440 \u043d\u0435 \u0437\u0430\u043f\u0443\u0449\u0435\u043d";
constexpr wchar_t kLoadFailed[] =  // Не удалось загрузить библиотеку
    L"\u041d\u0435 \u0443\u0434\u0430\u043b\u043e\u0441\u044c \u0437\u0430\u0433\u0440\u0443\u0437\u0438\u0442\u044c "
    L"\u0431\u0438\u0431\u043b\u0438\u043e\u0442\u0435\u043a\u0443";

constexpr DWORD kStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;  // no sizing, no maximizing
constexpr int kClientWidth = 200;
constexpr int kClientHeight = 100;
constexpr RECT kStatusLabelRect = {10, 10, 190, 26};
constexpr POINT kCanvasOrigin = {10, 28};
constexpr int kCanvasWidth = 180;
constexpr int kCanvasHeight = 64;
constexpr UINT_PTR kStatusTimerId = 1;
constexpr UINT kStatusTimerPeriodMs = 1000;

// The canvas OnPlayerData paints on. The library's callback takes no context, hence
// this one global: set before SetCallBack, and the canvas it points to outlives the
// release of the library, which ends every delivery.
BarsCanvas* g_delivery_canvas = nullptr;

// Runs on the library's threads: the frame is reduced, composed and on the screen
// before it returns; nothing is queued for the window's thread.
int __stdcall OnPlayerData(const void* record) {
    if (!record) return 0;  // nothing to show; ignored rather than read through null
    const auto* bytes = static_cast<const unsigned char*>(record);
    g_delivery_canvas->DrawBars(ReduceBands(bytes + korvane::kSpectrumOffset));
    return 0;
}

class BarsWindow {
public:
    BarsWindow() = default;
    BarsWindow(const BarsWindow&) = delete;
    BarsWindow& operator=(const BarsWindow&) = delete;

    // The program's whole life: start-up, the event loop until the close request,
    // then the library's release and the window's end.
    void Run(HINSTANCE instance);

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
    bool CreateFrame(HINSTANCE instance);
    void CreateControls(HINSTANCE instance);
    void ReportLoadFailure();
    void UpdatePlayerStatus();
    void OnClose();
    void OnTimer(UINT_PTR id);

    korvane::DataLibrary library_;
    BarsCanvas canvas_{kCanvasWidth, kCanvasHeight};
    HWND hwnd_ = nullptr;
    HWND status_label_ = nullptr;  // touched by the main thread only
};

void BarsWindow::Run(HINSTANCE instance) {
    // Without the window nothing could ever ask the program to close.
    if (!CreateFrame(instance)) return;
    // The controls go in before the window is shown, so it never shows up half built;
    // either may fail and the program still runs, closable, without it.
    CreateControls(instance);
    ShowWindow(hwnd_, SW_SHOWNORMAL);
    UpdateWindow(hwnd_);

    if (!library_.Load()) {
        ReportLoadFailure();
        DestroyWindow(hwnd_);
        return;
    }
    g_delivery_canvas = &canvas_;
    library_.SetCallBack(OnPlayerData, 1);  // deliveries may start right away
    UpdatePlayerStatus();
    SetTimer(hwnd_, kStatusTimerId, kStatusTimerPeriodMs, nullptr);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }

    // The release ends every delivery, so it comes while the window still shows the
    // last frame and before the canvas goes.
    library_.Release();
    DestroyWindow(hwnd_);
}

bool BarsWindow::CreateFrame(HINSTANCE instance) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_3DFACE + 1);
    wc.lpszClassName = kClassName;  // no icon of its own: the system's default shows
    if (!RegisterClassExW(&wc)) return false;

    RECT frame = {0, 0, kClientWidth, kClientHeight};
    AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    // Centred on the whole primary screen, taskbar included, rounding down.
    const int screen_width = GetSystemMetrics(SM_CXSCREEN);
    const int screen_height = GetSystemMetrics(SM_CYSCREEN);
    const int x = (screen_width - (width < screen_width ? width : screen_width)) / 2;
    const int y = (screen_height - (height < screen_height ? height : screen_height)) / 2;
    hwnd_ = CreateWindowExW(0, kClassName, kTitle, kStyle, x, y, width, height, nullptr, nullptr, instance,
                            this);
    return hwnd_ != nullptr;
}

void BarsWindow::CreateControls(HINSTANCE instance) {
    const RECT& r = kStatusLabelRect;
    status_label_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFT, r.left, r.top,
                                    r.right - r.left, r.bottom - r.top, hwnd_, nullptr, instance, nullptr);
    if (status_label_)
        SendMessageW(status_label_, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
    canvas_.Create(hwnd_, kCanvasOrigin.x, kCanvasOrigin.y);
}

void BarsWindow::ReportLoadFailure() {
    // The box belongs to the foreground window only when that window is ours.
    HWND owner = GetForegroundWindow();
    DWORD owner_process = 0;
    if (owner) GetWindowThreadProcessId(owner, &owner_process);
    if (owner_process != GetCurrentProcessId()) owner = nullptr;
    // An owned box disables its owner itself; otherwise the window is kept from use
    // by hand for as long as the box is up.
    const bool disable_by_hand = owner != hwnd_;
    if (disable_by_hand) EnableWindow(hwnd_, FALSE);
    MessageBoxW(owner, kLoadFailed, L"", MB_OK);
    if (disable_by_hand) EnableWindow(hwnd_, TRUE);
}

void BarsWindow::UpdatePlayerStatus() {
    // Set on every run, even when unchanged.
    SetWindowTextW(status_label_, library_.IsAimp() ? kPlayerRunning : kPlayerNotRunning);
}

// The close button, Alt+F4 and the window menu's Close all end here. The window is not
// destroyed yet: the loop ends and Run releases the library first.
void BarsWindow::OnClose() { PostQuitMessage(0); }

void BarsWindow::OnTimer(UINT_PTR id) {
    if (id == kStatusTimerId) UpdatePlayerStatus();
}

LRESULT CALLBACK BarsWindow::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<BarsWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self) {
        switch (message) {
        case WM_CLOSE:
            self->OnClose();
            return 0;
        case WM_TIMER:
            self->OnTimer(wparam);
            return 0;
        }
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

}  // namespace
}  // namespace bars

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    bars::BarsWindow window;
    window.Run(instance);
    return 0;
}
