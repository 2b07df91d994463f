// The running window, end to end: layout, status line, frames on the screen, minimise
// and restore, no resizing. One program serves the whole suite, in declaration order.
#include <gtest/gtest.h>

#include <memory>

#include "bars_test_support.h"
#include "reference_frame.h"

namespace {

using bars_test::BarsProgram;
using harness::WindowText;
namespace sim = korvane::sim;

constexpr std::uint32_t kWhite = 0xFFFFFF;

class RunningBarsWindow : public testing::Test {
protected:
    static void SetUpTestSuite() {
        program_ = new BarsProgram();
        program_->sim->is_aimp = 1;
        started_ = program_->Start();
        // Before any delivery: the status line is set at start-up, the canvas still white.
        if (started_) harness::WaitForText(program_->label, bars_test::kPlayerRunning, 10000);
    }
    static void TearDownTestSuite() {
        delete program_;
        program_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(started_); }

    static BarsProgram* program_;
    static bool started_;
};

BarsProgram* RunningBarsWindow::program_ = nullptr;
bool RunningBarsWindow::started_ = false;

RECT ChildRect(HWND child) {
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

TEST_F(RunningBarsWindow, OpensCentredWithItsLayout) {
    HWND window = program_->window;
    EXPECT_EQ(WindowText(window), bars_test::kTitle);

    const LONG style = GetWindowLongW(window, GWL_STYLE);
    const LONG wanted = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    EXPECT_EQ(style & (wanted | WS_THICKFRAME | WS_MAXIMIZEBOX), wanted);
    // The system adds the window-edge bit to every captioned window by itself.
    EXPECT_EQ(GetWindowLongW(window, GWL_EXSTYLE) & ~WS_EX_WINDOWEDGE, 0);

    RECT client;
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, 200);
    EXPECT_EQ(client.bottom, 100);

    RECT outer = {0, 0, 200, 100};
    AdjustWindowRectEx(&outer, wanted, FALSE, 0);
    const int w = outer.right - outer.left, h = outer.bottom - outer.top;
    const int screen_w = GetSystemMetrics(SM_CXSCREEN), screen_h = GetSystemMetrics(SM_CYSCREEN);
    RECT frame;
    GetWindowRect(window, &frame);
    EXPECT_EQ(frame.right - frame.left, w);
    EXPECT_EQ(frame.bottom - frame.top, h);
    EXPECT_EQ(frame.left, (screen_w - std::min(screen_w, w)) / 2);
    EXPECT_EQ(frame.top, (screen_h - std::min(screen_h, h)) / 2);
    EXPECT_EQ(GetForegroundWindow(), window) << "shown and activated";

    HWND label = program_->label;
    EXPECT_EQ(harness::ClassName(label), L"Static");
    const RECT label_rect = ChildRect(label);
    EXPECT_EQ(label_rect.left, 10);
    EXPECT_EQ(label_rect.top, 10);
    EXPECT_EQ(label_rect.right - label_rect.left, 180);
    EXPECT_EQ(label_rect.bottom - label_rect.top, 16);
    EXPECT_EQ(GetWindowLongW(label, GWL_STYLE) & (WS_BORDER | SS_TYPEMASK), SS_LEFT);
    // Font, colours and alignment as the pixels show them (under Wine WM_GETFONT from
    // another process answers NULL).
    EXPECT_EQ(program_->Label(), bars_test::LabelAsTheSystemDrawsIt(bars_test::kPlayerRunning));

    HWND canvas = program_->canvas;
    const RECT canvas_rect = ChildRect(canvas);
    EXPECT_EQ(canvas_rect.left, 10);
    EXPECT_EQ(canvas_rect.top, 28);
    EXPECT_EQ(canvas_rect.right - canvas_rect.left, 180);
    EXPECT_EQ(canvas_rect.bottom - canvas_rect.top, 64);
    EXPECT_EQ(GetWindowLongW(canvas, GWL_STYLE) & (WS_BORDER | WS_TABSTOP), 0);
    EXPECT_EQ(program_->Canvas(), std::vector<std::uint32_t>(180 * 64, kWhite)) << "white before any delivery";
}

// Non-zero, whatever the value, means running; the label follows at the next tick.
TEST_F(RunningBarsWindow, StatusFollowsIsAimpWithinASecond) {
    const struct {
        long answer;
        const std::wstring& text;
    } kAnswers[] = {
        {0, bars_test::kPlayerNotRunning},
        {-1, bars_test::kPlayerRunning},
        {0, bars_test::kPlayerNotRunning},
        {7, bars_test::kPlayerRunning},
    };
    for (const auto& answer : kAnswers) {
        program_->sim->is_aimp = answer.answer;
        EXPECT_TRUE(harness::WaitForText(program_->label, answer.text, 2000)) << "IsAimp " << answer.answer;
    }
    // One call a second, text set every time.
    const long calls = program_->sim.Calls(sim::kIsAimp);
    Sleep(3500);
    const long more = program_->sim.Calls(sim::kIsAimp) - calls;
    EXPECT_GE(more, 2);
    EXPECT_LE(more, 5);
}

// Each frame is compared whole, as read back from the screen after the handler returned,
// with the reference picture of the levels the reduction gives.
TEST_F(RunningBarsWindow, DrawsEveryDeliveryBeforeTheHandlerReturns) {
    bars::BandLevels mixed;
    const float kMixed[bars::kBandCount] = {0.0f, 1.0f, 1.0f, 1.5625f, 1.5625002f, 10.0f, 21.544346f, 50.0f, 99.0f,
                                            100.0f, 9.999999f, 62.996056f, 17.099758f, 2.1544344f, 79.37005f,
                                            46.415886f, 99.66555f, 33.3f};
    for (int i = 0; i < bars::kBandCount; ++i) mixed.level[i] = kMixed[i];
    const std::vector<bars::BandLevels> kFrames = {
        reference::Uniform(0.0f),   reference::Uniform(1.0f),   reference::Uniform(1.5625f),
        reference::Uniform(1.5625002f), reference::Uniform(10.0f), reference::Uniform(21.544346f),
        reference::Uniform(50.0f),  reference::Uniform(99.0f),  reference::Uniform(100.0f),
        mixed,
    };
    for (size_t f = 0; f < kFrames.size(); ++f) {
        const std::vector<float> bins = bars_test::SpectrumFor(kFrames[f]);
        const bars::BandLevels levels = bars::ReduceBands(bins.data());
        for (int i = 0; i < bars::kBandCount; ++i) ASSERT_EQ(levels.level[i], kFrames[f].level[i]) << "frame " << f;
        program_->sim.SetRecordBins(static_cast<int>(f), bins);
        ASSERT_TRUE(program_->DeliverRecord(static_cast<int>(f))) << "frame " << f;
        const auto want = reference::Frame(levels, 180, 64);
        EXPECT_TRUE(bars_test::WaitForCanvas(*program_, want, bars_test::kFlushTimeoutMs))
            << "frame " << f << ": " << bars_test::FirstDifference(program_->Canvas(), want, 180);
    }
    // The landmarks of the last full-height frame: bar column 0, gap column 9.
    program_->sim.SetRecordBins(20, bars_test::SpectrumFor(reference::Uniform(100.0f)));
    ASSERT_TRUE(program_->DeliverRecord(20));
    ASSERT_TRUE(bars_test::WaitForCanvas(*program_, reference::Frame(reference::Uniform(100.0f), 180, 64),
                                         bars_test::kFlushTimeoutMs));
    const auto pixels = program_->Canvas();
    const struct {
        int row;
        std::uint32_t background, bar;
    } kRows[] = {{0, 0xDFDFDF, 0x0000FF}, {1, 0xDDDDDD, 0x0003FB}, {32, 0xB3B3B3, 0x007F7F}, {63, 0x898989, 0x00FB03}};
    for (const auto& row : kRows) {
        EXPECT_EQ(pixels[row.row * 180 + 9], row.background) << "row " << row.row;
        EXPECT_EQ(pixels[row.row * 180 + 0], row.bar) << "row " << row.row;
    }
}

TEST_F(RunningBarsWindow, FrameDrawnWhileMinimisedShowsOnRestore) {
    HWND window = program_->window;
    ShowWindowAsync(window, SW_MINIMIZE);
    for (int i = 0; i < 200 && !IsIconic(window); ++i) Sleep(20);
    ASSERT_TRUE(IsIconic(window));

    bars::BandLevels levels = reference::Uniform(0.0f);
    levels.level[0] = 50.0f;
    levels.level[17] = 100.0f;
    program_->sim.SetRecordBins(30, bars_test::SpectrumFor(levels));
    ASSERT_TRUE(program_->DeliverRecord(30));

    ShowWindowAsync(window, SW_RESTORE);
    for (int i = 0; i < 200 && IsIconic(window); ++i) Sleep(20);
    ASSERT_FALSE(IsIconic(window));
    const auto want = reference::Frame(levels, 180, 64);
    EXPECT_TRUE(bars_test::WaitForCanvas(*program_, want, 5000))
        << bars_test::FirstDifference(program_->Canvas(), want, 180);
    RECT client;
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, 200);
    EXPECT_EQ(client.bottom, 100);
}

// No sizing border to drag, no maximize by double-clicking the caption; a click on the
// canvas leaves it without the focus.
TEST_F(RunningBarsWindow, CannotBeResizedOrMaximisedAndCanvasTakesNoFocus) {
    HWND window = program_->window;
    RECT before;
    GetWindowRect(window, &before);
    const std::set<LRESULT> codes = bars_test::FrameHitCodes(window);
    for (LRESULT sizing : {HTLEFT, HTRIGHT, HTTOP, HTTOPLEFT, HTTOPRIGHT, HTBOTTOM, HTBOTTOMLEFT, HTBOTTOMRIGHT})
        EXPECT_EQ(codes.count(sizing), 0u) << "hit code " << sizing;
    EXPECT_EQ(codes.count(HTCLOSE), 1u);
    // Beside the minimize button the system shows a disabled maximize button; a click on
    // it does nothing.
    POINT maximize;
    if (bars_test::FindHitPoint(window, HTMAXBUTTON, &maximize)) {
        SetCursorPos(maximize.x, maximize.y);
        PostMessageW(window, WM_NCLBUTTONDOWN, HTMAXBUTTON, MAKELPARAM(maximize.x, maximize.y));
        PostMessageW(window, WM_LBUTTONUP, 0, 0);
    }
    POINT caption;
    ASSERT_TRUE(bars_test::FindHitPoint(window, HTCAPTION, &caption));
    PostMessageW(window, WM_NCLBUTTONDBLCLK, HTCAPTION, MAKELPARAM(caption.x, caption.y));
    PostMessageW(program_->canvas, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    PostMessageW(program_->canvas, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    Sleep(500);
    EXPECT_FALSE(IsZoomed(window));
    RECT after;
    GetWindowRect(window, &after);
    EXPECT_TRUE(EqualRect(&before, &after));
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    ASSERT_TRUE(GetGUIThreadInfo(program_->process.main_thread_id(), &info));
    EXPECT_NE(info.hwndFocus, program_->canvas);
}

}  // namespace
