// Real captures under Wine and Xvfb: windows painted in known colours, read back from
// the screen.
#include "crashreport/support/qixNVBitmap.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>

using namespace qix;

namespace {

constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kBlue = RGB(0, 0, 255);
constexpr COLORREF kGreen = RGB(0, 255, 0);
constexpr COLORREF kYellow = RGB(255, 255, 0);

// Left half red, right half blue, a green square in the top-left corner; or all
// yellow for the second window.
LRESULT CALLBACK PaintProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg != WM_PAINT) return DefWindowProcA(hwnd, msg, wp, lp);
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    RECT r;
    GetClientRect(hwnd, &r);
    auto fill = [&](RECT area, COLORREF colour) {
        HBRUSH brush = CreateSolidBrush(colour);
        FillRect(dc, &area, brush);
        DeleteObject(brush);
    };
    if (GetWindowLongPtrA(hwnd, GWLP_USERDATA) == 1) {
        fill(r, kYellow);
    } else {
        fill({0, 0, r.right / 2, r.bottom}, kRed);
        fill({r.right / 2, 0, r.right, r.bottom}, kBlue);
        fill({0, 0, 20, 20}, kGreen);
    }
    EndPaint(hwnd, &ps);
    return 0;
}

class TTestWindow {
public:
    TTestWindow(int x, int y, int w, int h, int kind) {
        WNDCLASSA wc{};
        wc.lpfnWndProc = PaintProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
        wc.lpszClassName = "qixCaptureTest";
        RegisterClassA(&wc); // a second registration fails harmlessly
        Handle = CreateWindowExA(WS_EX_TOPMOST, "qixCaptureTest", "", WS_POPUP, x, y, w, h, nullptr,
                                 nullptr, wc.hInstance, nullptr);
        SetWindowLongPtrA(Handle, GWLP_USERDATA, kind);
        ShowWindow(Handle, SW_SHOWNORMAL);
        UpdateWindow(Handle);
    }
    ~TTestWindow() { DestroyWindow(Handle); }
    TTestWindow(const TTestWindow&) = delete;
    TTestWindow& operator=(const TTestWindow&) = delete;
    HWND Handle;
};

// Lets Wine map and paint the windows before the screen is read.
void Settle() {
    for (int i = 0; i < 30; ++i) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        Sleep(20);
    }
}

COLORREF At(INVBitmap& bmp, int x, int y) {
    auto& b = static_cast<TINVBitmap&>(bmp);
    const uint8_t* p = b.Pixels() + (static_cast<size_t>(b.Height() - 1 - y) * b.Width() + x) * 4;
    return RGB(p[2], p[1], p[0]);
}

TEST(CaptureScreenTest, OwnWindowsOnlyIsTheirBoundingBoxOnWhite) {
    SetCursorPos(2, 2); // keep the cursor off the windows
    TTestWindow first(40, 30, 120, 80, 0);
    TTestWindow second(200, 150, 50, 50, 1);
    Settle();

    PNVBitmap shot = CaptureScreen(true);
    ASSERT_TRUE(shot);
    ASSERT_EQ(shot->Width(), 250 - 40);
    ASSERT_EQ(shot->Height(), 200 - 30);
    EXPECT_EQ(At(*shot, 5, 5), kGreen);
    EXPECT_EQ(At(*shot, 30, 60), kRed);
    EXPECT_EQ(At(*shot, 100, 60), kBlue);
    EXPECT_EQ(At(*shot, 200 - 40 + 25, 150 - 30 + 25), kYellow);
    EXPECT_EQ(At(*shot, 180 - 40, 100 - 30), RGB(255, 255, 255)); // between the windows
    EXPECT_EQ(At(*shot, 5, 160), RGB(255, 255, 255));

    // A copy painted elsewhere keeps its pixels.
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP target = CreateCompatibleBitmap(screen, 300, 300);
    HGDIOBJ old = SelectObject(mem, target);
    EXPECT_TRUE(shot->PaintTo(mem, 10, 10));
    EXPECT_EQ(GetPixel(mem, 10 + 100, 10 + 60), kBlue);
    SelectObject(mem, old);
    DeleteObject(target);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
}

TEST(CaptureScreenTest, WholeScreenCoversTheVirtualScreen) {
    TTestWindow window(60, 50, 120, 80, 0);
    Settle();
    PNVBitmap shot = CaptureScreen(false);
    ASSERT_TRUE(shot);
    const int left = GetSystemMetrics(SM_XVIRTUALSCREEN), top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    EXPECT_EQ(shot->Width(), GetSystemMetrics(SM_CXVIRTUALSCREEN));
    EXPECT_EQ(shot->Height(), GetSystemMetrics(SM_CYVIRTUALSCREEN));
    EXPECT_EQ(At(*shot, 60 + 30 - left, 50 + 60 - top), kRed);
    EXPECT_EQ(At(*shot, 60 + 100 - left, 50 + 60 - top), kBlue);
}

TEST(CaptureScreenTest, CursorIsDrawnIn) {
    TTestWindow window(40, 30, 120, 80, 0);
    Settle();
    // Over the blue half: the arrow's black and white pixels must show there.
    SetCursorPos(40 + 80, 30 + 30);
    Settle();
    PNVBitmap shot = CaptureScreen(true);
    ASSERT_TRUE(shot);
    int other = 0;
    for (int y = 30; y < 50; ++y)
        for (int x = 80; x < 95; ++x)
            if (At(*shot, x, y) != kBlue) ++other;
    SetCursorPos(2, 2);
    CURSORINFO info{};
    info.cbSize = sizeof(info);
    if (!GetCursorInfo(&info) || !(info.flags & CURSOR_SHOWING))
        GTEST_SKIP() << "no visible cursor on this display";
    EXPECT_GT(other, 10);
}

TEST(CaptureScreenTest, MinimisedOrNoWindowsGiveNoPicture) {
    EXPECT_FALSE(CaptureScreen(true));
    TTestWindow window(40, 30, 120, 80, 0);
    ShowWindow(window.Handle, SW_MINIMIZE);
    Settle();
    ASSERT_TRUE(IsIconic(window.Handle));
    EXPECT_FALSE(CaptureScreen(true));
}

TEST(CaptureScreenTest, ScreenshotSurvivesPngAndBmpFiles) {
    TTestWindow window(40, 30, 64, 48, 0);
    Settle();
    PNVBitmap shot = CaptureScreen(true);
    ASSERT_TRUE(shot);
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string bmp = std::string(temp) + "qixshot.bmp";
    const std::string png = std::string(temp) + "qixshot.png";
    ASSERT_TRUE(shot->WriteBmpFile(bmp));
    ASSERT_TRUE(shot->WritePngFile(png, 2));
    PNVBitmap back = LoadBmpFile(bmp);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->Width(), 64);
    EXPECT_EQ(At(*back, 50, 30), kBlue);
    EXPECT_EQ(At(*back, 5, 5), kGreen);
    PNVBitmap small = back->ScaledCopy(32, 32);
    ASSERT_TRUE(small);
    EXPECT_EQ(small->Width(), 32);
    EXPECT_EQ(small->Height(), 24);
    DeleteFileA(bmp.c_str());
    DeleteFileA(png.c_str());
}

} // namespace
