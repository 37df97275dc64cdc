// Window placement: DPI scaling and centring, as a pure function and for a
// real window.

#include "htmlui/HostWindow.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

struct PlacementCase {
    const char* what;
    int dpi;
    DWORD style;
    RECT reference;
    RECT work;
    int width;
    int height;
    RECT expected;
};

void PrintTo(const PlacementCase& c, std::ostream* out) {
    *out << c.what;
}

class Placement : public testing::TestWithParam<PlacementCase> {};

TEST_P(Placement, CentresAndKeepsInsideTheWorkArea) {
    const PlacementCase& c = GetParam();
    const RECT r = htmlui::ComputeWindowPlacement(c.dpi, c.style, WS_EX_APPWINDOW, c.reference,
                                                  c.work, c.width, c.height);
    EXPECT_EQ(c.expected.left, r.left);
    EXPECT_EQ(c.expected.top, r.top);
    EXPECT_EQ(c.expected.right, r.right);
    EXPECT_EQ(c.expected.bottom, r.bottom);
}

const DWORD Popup = WS_POPUP | WS_VISIBLE;
const RECT Screen = {0, 0, 1920, 1040};

INSTANTIATE_TEST_SUITE_P(
    Table, Placement,
    testing::Values(
        PlacementCase{
            "first page at 96 dpi", 96, Popup, Screen, Screen, 647, 505, {636, 267, 1283, 772}},
        PlacementCase{
            "default size at 144 dpi", 144, Popup, Screen, Screen, 400, 200, {660, 370, 1260, 670}},
        PlacementCase{
            "120 dpi truncates", 120, Popup, Screen, Screen, 647, 505, {556, 204, 1364, 835}},
        PlacementCase{
            "larger than the work area", 96, Popup, Screen, Screen, 3000, 2000, {0, 0, 3000, 2000}},
        PlacementCase{"larger than an offset work area",
                      96,
                      Popup,
                      {100, 50, 1380, 1074},
                      {100, 50, 1380, 1074},
                      1500,
                      1100,
                      {100, 50, 1600, 1150}},
        PlacementCase{"wider only", 96, Popup, Screen, Screen, 2500, 100, {0, 470, 2500, 570}},
        PlacementCase{"centred on an owner",
                      96,
                      Popup,
                      {100, 100, 500, 400},
                      Screen,
                      200,
                      100,
                      {200, 200, 400, 300}},
        PlacementCase{"owner at the right edge",
                      96,
                      Popup,
                      {1800, 100, 2000, 300},
                      Screen,
                      400,
                      200,
                      {1520, 100, 1920, 300}},
        PlacementCase{"owner above the top edge",
                      96,
                      Popup,
                      {100, -400, 500, -100},
                      Screen,
                      200,
                      100,
                      {200, 0, 400, 100}},
        PlacementCase{"monitor left of the primary: halves truncate toward zero",
                      96,
                      Popup,
                      {-1280, 0, 0, 1024},
                      {-1280, 0, 0, 1024},
                      647,
                      505,
                      {-963, 259, -316, 764}},
        PlacementCase{"empty", 96, Popup, Screen, Screen, 0, 0, {960, 520, 960, 520}},
        PlacementCase{"negative width counts as empty",
                      96,
                      Popup,
                      Screen,
                      Screen,
                      -100,
                      100,
                      {960, 470, 960, 570}},
        PlacementCase{"huge request stays in range",
                      144,
                      Popup,
                      Screen,
                      Screen,
                      INT_MAX,
                      INT_MAX,
                      {0, 0, INT_MAX, INT_MAX}}));

TEST(PlacementFrame, FramedStyleCentresTheOuterRectangle) {
    const DWORD style = WS_OVERLAPPEDWINDOW;
    RECT frame = {0, 0, 400, 200};
    ASSERT_TRUE(AdjustWindowRectEx(&frame, style, FALSE, 0));
    const int w = frame.right - frame.left;
    const int h = frame.bottom - frame.top;
    ASSERT_GT(w, 400); // the frame adds borders
    const RECT r = htmlui::ComputeWindowPlacement(96, style, 0, Screen, Screen, 400, 200);
    EXPECT_EQ(w, r.right - r.left);
    EXPECT_EQ(h, r.bottom - r.top);
    EXPECT_EQ((1920 + w) / 2 - w, r.left);
    EXPECT_EQ((1040 + h) / 2 - h, r.top);
}

int SystemDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return dpi;
}

class Windows : public testing::Test {
protected:
    void TearDown() override {
        for (HWND window : made) {
            DestroyWindow(window);
        }
    }
    HWND Make(HWND owner, int x, int y, int w, int h) {
        HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, x, y, w, h, owner, nullptr,
                                      GetModuleHandleW(nullptr), nullptr);
        if (window) {
            made.insert(made.begin(), window); // owned ones go first
        }
        return window;
    }
    std::vector<HWND> made;
};

TEST_F(Windows, UnownedWindowIsCentredOnTheWorkAreaUnderTheCursor) {
    HWND window = Make(nullptr, 0, 0, 0, 0);
    ASSERT_NE(nullptr, window);
    POINT cursor;
    ASSERT_TRUE(GetCursorPos(&cursor));
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    ASSERT_TRUE(GetMonitorInfoW(MonitorFromPoint(cursor, MONITOR_DEFAULTTONEAREST), &monitor));
    const RECT work = monitor.rcWork;
    const int dpi = SystemDpi();
    const int w = 400 * dpi / 96;
    const int h = 200 * dpi / 96;

    const RECT r = htmlui::ComputeWindowPlacement(window, 400, 200);
    EXPECT_EQ(w, r.right - r.left);
    EXPECT_EQ(h, r.bottom - r.top);
    EXPECT_EQ((work.left + work.right + w) / 2 - w, r.left);
    EXPECT_EQ((work.top + work.bottom + h) / 2 - h, r.top);
    // Centred: equal margins, give or take the odd pixel.
    EXPECT_LE(abs((r.left - work.left) - (work.right - r.right)), 1);
    EXPECT_LE(abs((r.top - work.top) - (work.bottom - r.bottom)), 1);
}

TEST_F(Windows, OwnedWindowIsCentredOnItsOwner) {
    HWND owner = Make(nullptr, 100, 100, 400, 300);
    ASSERT_NE(nullptr, owner);
    HWND owned = Make(owner, 0, 0, 0, 0);
    ASSERT_NE(nullptr, owned);
    ASSERT_EQ(owner, GetWindow(owned, GW_OWNER));
    const int dpi = SystemDpi();
    const int w = 200 * dpi / 96;
    const int h = 100 * dpi / 96;
    const RECT r = htmlui::ComputeWindowPlacement(owned, 200, 100);
    EXPECT_EQ((100 + 500 + w) / 2 - w, r.left);
    EXPECT_EQ((100 + 400 + h) / 2 - h, r.top);
    EXPECT_EQ(r.left + w, r.right);
    EXPECT_EQ(r.top + h, r.bottom);
}

} // namespace
