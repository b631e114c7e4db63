// The progress window under Wine: found and read back through the window system only
// (class name, PBM_GETPOS, GetWindowText, screen pixels), never through the object.
#include "crashreport/ui/qixNVPrgrAlert.h"
#include "tests/support/WinTestApp.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <atomic>
#include <thread>

using namespace qix;

namespace {

struct TParts {
    HWND Window = nullptr, Text = nullptr, Bar = nullptr, Icon = nullptr;
};

BOOL CALLBACK NoteChild(HWND child, LPARAM lp) {
    auto& parts = *reinterpret_cast<TParts*>(lp);
    const std::string cls = WindowClass(child);
    if (_stricmp(cls.c_str(), "Static") == 0) parts.Text = child;
    if (_stricmp(cls.c_str(), PROGRESS_CLASSA) == 0) parts.Bar = child;
    if (_stricmp(cls.c_str(), "Button") == 0) parts.Icon = child;
    return TRUE;
}

TParts FindAlert(const char* caption) {
    TParts p;
    p.Window = FindWindowA("prgrAlertWndClass", caption);
    if (p.Window) EnumChildWindows(p.Window, NoteChild, reinterpret_cast<LPARAM>(&p));
    return p;
}

int BarPos(HWND bar) {
    return static_cast<int>(SendMessageA(bar, PBM_GETPOS, 0, 0));
}

// Client coordinates of a child.
RECT ChildRect(HWND child) {
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

COLORREF ScreenPixel(int x, int y) {
    HDC screen = GetDC(nullptr);
    const COLORREF c = GetPixel(screen, x, y);
    ReleaseDC(nullptr, screen);
    return c;
}

class TOwnerWindow {
public:
    TOwnerWindow() {
        WNDCLASSA wc{};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "qixAlertOwner";
        RegisterClassA(&wc);
        Handle = CreateWindowExA(0, "qixAlertOwner", "owner", WS_OVERLAPPEDWINDOW, 50, 50, 300, 200,
                                 nullptr, nullptr, wc.hInstance, nullptr);
        ShowWindow(Handle, SW_SHOWNORMAL);
    }
    ~TOwnerWindow() { DestroyWindow(Handle); }
    TOwnerWindow(const TOwnerWindow&) = delete;
    TOwnerWindow& operator=(const TOwnerWindow&) = delete;
    HWND Handle;
};

TEST(ProgressAlert, PhasesAndWeightsMoveTheBar) {
    auto alert = CreateProgressAlert("Sending bug report", nullptr, "");
    alert->AddPhase("Connecting", 100);
    alert->AddPhase("Sending", 300);
    alert->AddPhase("Closing", 600);
    ASSERT_TRUE(alert->Display(nullptr, true));
    EXPECT_FALSE(alert->Display(nullptr, true)) << "already shown";
    const TParts p = FindAlert("Sending bug report");
    ASSERT_TRUE(p.Window && p.Text && p.Bar);
    EXPECT_EQ(p.Icon, nullptr);
    EXPECT_EQ(SendMessageA(p.Bar, PBM_GETRANGE, FALSE, 0), 1000);
    EXPECT_EQ(SendMessageA(p.Bar, PBM_GETRANGE, TRUE, 0), 0);
    EXPECT_EQ(WindowText(p.Text), "Connecting");
    EXPECT_EQ(BarPos(p.Bar), 0);
    alert->SetProgress(500);
    EXPECT_EQ(BarPos(p.Bar), 50);
    alert->PhaseDone();
    EXPECT_EQ(alert->GetPhase(), 1);
    EXPECT_EQ(alert->GetProgress(), 0);
    EXPECT_EQ(BarPos(p.Bar), 100);
    EXPECT_EQ(WindowText(p.Text), "Sending");
    alert->SetProgress(250);
    EXPECT_EQ(BarPos(p.Bar), 175);
    alert->SetPhase(3); // the count: all done
    EXPECT_EQ(alert->GetPhase(), 2);
    EXPECT_EQ(BarPos(p.Bar), 1000);
    EXPECT_EQ(WindowText(p.Text), "Closing");
    alert->SetCaption("Done");
    EXPECT_EQ(alert->GetCaption(), "Done");
    EXPECT_EQ(WindowText(p.Window), "Done");
    alert.reset(); // the last reference closes the window
    EXPECT_FALSE(IsWindow(p.Window));
}

TEST(ProgressAlert, WithoutPhasesItSaysPleaseWait) {
    auto alert = CreateProgressAlert("Busy", nullptr, "");
    ASSERT_TRUE(alert->Display(nullptr, true));
    const TParts p = FindAlert("Busy");
    ASSERT_TRUE(p.Text && p.Bar);
    EXPECT_EQ(WindowText(p.Text), "Please wait...");
    alert->SetProgress(300);
    EXPECT_EQ(BarPos(p.Bar), 300); // one phase of weight 1000
    alert->ClearPhases();
    EXPECT_EQ(BarPos(p.Bar), 0);
    alert->Dismiss();
    EXPECT_FALSE(IsWindow(p.Window));
}

TEST(ProgressAlert, EmptyPhaseTextKeepsThePreviousText) {
    auto alert = CreateProgressAlert("Mail", nullptr, "");
    alert->AddPhase("Sending mail", 1);
    alert->AddPhase("", 1);
    alert->AddPhase("Waiting for the server", 1);
    ASSERT_TRUE(alert->Display(nullptr, true));
    const TParts p = FindAlert("Mail");
    alert->SetPhase(1);
    EXPECT_EQ(WindowText(p.Text), "Sending mail");
    EXPECT_EQ(BarPos(p.Bar), 333);
    alert->SetPhase(2);
    EXPECT_EQ(WindowText(p.Text), "Waiting for the server");
}

TEST(ProgressAlert, TheUserCannotCloseIt) {
    auto alert = CreateProgressAlert("Stubborn", nullptr, "");
    ASSERT_TRUE(alert->Display(nullptr, true));
    const HWND w = FindAlert("Stubborn").Window;
    ASSERT_TRUE(w);
    PostMessageA(w, WM_CLOSE, 0, 0);
    SendMessageA(w, WM_SYSCOMMAND, SC_CLOSE, 0); // what the title bar's close does
    // Alt+F4: as the keyboard delivers it, and as a real key press.
    PostMessageA(w, WM_SYSKEYDOWN, VK_F4, (1 << 29) | 1);
    SetForegroundWindow(w);
    INPUT keys[4] = {};
    const WORD codes[4] = {VK_MENU, VK_F4, VK_F4, VK_MENU};
    for (int i = 0; i < 4; ++i) {
        keys[i].type = INPUT_KEYBOARD;
        keys[i].ki.wVk = codes[i];
        keys[i].ki.dwFlags = i < 2 ? 0 : KEYEVENTF_KEYUP;
    }
    SendInput(4, keys, sizeof(INPUT));
    PumpFor(400);
    EXPECT_TRUE(IsWindow(w));
    EXPECT_TRUE(IsWindowVisible(w));
    // The same Alt+F4 does close an ordinary window: the attempt above was real.
    TOwnerWindow plain;
    PostMessageA(plain.Handle, WM_SYSKEYDOWN, VK_F4, (1 << 29) | 1);
    EXPECT_TRUE(PumpUntil([&] { return !IsWindow(plain.Handle); }, 3000));
    // Caption only: no close button, and no size, minimise, maximise or restore items
    // where the system keeps a system menu anyway.
    EXPECT_EQ(GetWindowLongA(w, GWL_STYLE) & (WS_SYSMENU | WS_THICKFRAME), 0);
    if (HMENU menu = GetSystemMenu(w, FALSE)) {
        for (UINT command : {SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE})
            EXPECT_EQ(GetMenuState(menu, command, MF_BYCOMMAND), UINT(-1)) << command;
    }
    alert->Dismiss();
    EXPECT_FALSE(IsWindow(w));
}

TEST(ProgressAlert, UpdatesFromAnotherThreadArrive) {
    auto alert = CreateProgressAlert("Remote", nullptr, "");
    alert->AddPhase("one", 10);
    alert->AddPhase("two", 10);
    ASSERT_TRUE(alert->Display(nullptr, true));
    const TParts p = FindAlert("Remote");
    std::thread worker([&] {
        alert->SetPhase(1);
        alert->SetProgress(500); // (10 + 10 * 500 / 1000) * 1000 / 20
        alert->SetCaption("Remote, halfway");
        alert->PumpMessages(); // not its thread: nothing happens
    });
    worker.join(); // posting never waits for this thread
    EXPECT_TRUE(PumpUntil(
        [&] {
            return BarPos(p.Bar) == 750 && WindowText(p.Text) == "two" &&
                   WindowText(p.Window) == "Remote, halfway";
        },
        5000))
        << BarPos(p.Bar) << " " << WindowText(p.Text) << " " << WindowText(p.Window);
}

TEST(ProgressAlert, DismissFromAnotherThreadClosesItAndFreesTheOwner) {
    TOwnerWindow owner;
    auto alert = CreateProgressAlert("Leaving", nullptr, "");
    ASSERT_TRUE(alert->Display(owner.Handle, true));
    EXPECT_FALSE(IsWindowEnabled(owner.Handle));
    const HWND w = FindAlert("Leaving").Window;
    ASSERT_TRUE(w);
    EXPECT_EQ(GetWindow(w, GW_OWNER), owner.Handle);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        alert->Dismiss();
        done = true;
    });
    const bool finished = PumpUntil([&] { return done.load(); }, 15000);
    worker.join();
    ASSERT_TRUE(finished);
    EXPECT_FALSE(IsWindow(w));
    EXPECT_TRUE(IsWindowEnabled(owner.Handle));
    // Shown again after dismissal, on this thread this time.
    ASSERT_TRUE(alert->Display(owner.Handle, false));
    EXPECT_FALSE(IsWindowEnabled(owner.Handle));
    alert->Dismiss();
    EXPECT_TRUE(IsWindowEnabled(owner.Handle));
    EXPECT_EQ(FindWindowA("prgrAlertWndClass", nullptr), nullptr);
}

TEST(ProgressAlert, PumpMessagesHandlesWaitingMessagesAndKeepsQuit) {
    auto alert = CreateProgressAlert("Pump", nullptr, "");
    ASSERT_TRUE(alert->Display(nullptr, true));
    const HWND bar = FindAlert("Pump").Bar;
    ASSERT_TRUE(bar);
    PostMessageA(bar, PBM_SETPOS, 123, 0);
    EXPECT_EQ(BarPos(bar), 0);
    alert->PumpMessages();
    EXPECT_EQ(BarPos(bar), 123);
    PostQuitMessage(7);
    alert->PumpMessages();
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 7u);
}

// The icon's colours over the button face, and the window's layout, from the screen.
TEST(ProgressAlert, IconAndLayoutAsShown) {
    // Expected pixels worked out by hand for the faces we know, as
    // (c * (alpha + 1) + face * (255 - alpha)) >> 8 per channel.
    struct TFaceCase {
        COLORREF Face, Transparent, Half;
    };
    const TFaceCase cases[] = {{RGB(240, 240, 240), RGB(239, 239, 240), RGB(119, 247, 119)},
                               {RGB(245, 245, 245), RGB(244, 244, 245), RGB(121, 250, 121)}};
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    const TFaceCase* want = nullptr;
    for (const TFaceCase& c : cases)
        if (c.Face == face) want = &c;
    ASSERT_TRUE(want) << "no worked-out pixels for the button face " << std::hex << face;
    auto alert =
        CreateProgressAlert("Sending bug report", GetModuleHandleA(nullptr), "QIXALERTICON");
    alert->AddPhase("Connecting to the mail server...", 10);
    const std::string longText = "Sending the bug report with its screenshot and the zipped "
                                 "attachments, which may take a while on a slow connection";
    alert->AddPhase(longText, 80);
    alert->AddPhase("", 10);
    ASSERT_TRUE(alert->Display(nullptr, false));
    alert->SetProgress(600); // 10 * 600 / 1000 = 6 of 100
    const TParts p = FindAlert("Sending bug report");
    ASSERT_TRUE(p.Window && p.Text && p.Bar && p.Icon);
    EXPECT_FALSE(IsWindowEnabled(p.Icon));
    EXPECT_EQ(BarPos(p.Bar), 60);

    RECT icon = ChildRect(p.Icon), text = ChildRect(p.Text), bar = ChildRect(p.Bar), client;
    GetClientRect(p.Window, &client);
    EXPECT_EQ(icon.left, 9);
    EXPECT_EQ(icon.top, 9);
    EXPECT_EQ(icon.right - icon.left, 32);
    EXPECT_EQ(text.left, 51);
    EXPECT_EQ(bar.left, 11);
    EXPECT_EQ(bar.bottom - bar.top, GetSystemMetrics(SM_CYHSCROLL));
    EXPECT_EQ(client.right - bar.right, 11) << "margins of 11 both sides";
    EXPECT_EQ(bar.right, text.right) << "the text box and the bar end together";
    EXPECT_EQ(client.bottom - bar.bottom, 12);
    // The longest text wraps at 420 pixels: more than one line, no wider than that.
    HDC dc = GetDC(p.Text);
    TEXTMETRICA tm;
    SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(p.Text, WM_GETFONT, 0, 0)));
    GetTextMetricsA(dc, &tm);
    ReleaseDC(p.Text, dc);
    EXPECT_GT(text.bottom - text.top, tm.tmHeight);
    EXPECT_LE(text.right - text.left, 420);

    // Not activated: two pixels inside the bottom right corner of the work area.
    RECT area, frame;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    GetWindowRect(p.Window, &frame);
    EXPECT_EQ(frame.right, area.right - 2);
    EXPECT_EQ(frame.bottom, area.bottom - 2);
    EXPECT_NE(GetWindowLongA(p.Window, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);

    PumpFor(300);
    POINT origin{0, 0};
    ClientToScreen(p.Window, &origin);
    const int x = origin.x + 9, y = origin.y + 9;
    EXPECT_EQ(ScreenPixel(x + 8, y + 8), RGB(255, 0, 0)) << "opaque red";
    EXPECT_EQ(ScreenPixel(x + 24, y + 8), want->Transparent) << "transparent blue";
    EXPECT_EQ(ScreenPixel(x + 8, y + 24), want->Half) << "green at alpha 128";
    EXPECT_EQ(ScreenPixel(x + 24, y + 24), RGB(0, 0, 0)) << "opaque black";
    EXPECT_FALSE(SaveScreenshot(p.Window, "progress_alert").empty());
    alert->PhaseDone();
    EXPECT_EQ(BarPos(p.Bar), 100);
    PumpFor(200);
    EXPECT_FALSE(SaveScreenshot(p.Window, "progress_alert_wrapped").empty());
    alert->PhaseDone();
    EXPECT_EQ(BarPos(p.Bar), 900);
    EXPECT_EQ(WindowText(p.Text), longText) << "an empty phase text repeats the previous one";
}

TEST(ProgressAlert, ActivatedWindowIsCentred) {
    auto alert = CreateProgressAlert("Centred", nullptr, "");
    ASSERT_TRUE(alert->Display(nullptr, true));
    const HWND w = FindAlert("Centred").Window;
    RECT r;
    GetWindowRect(w, &r);
    EXPECT_EQ(r.left, (GetSystemMetrics(SM_CXSCREEN) - (r.right - r.left)) / 2);
    EXPECT_EQ(r.top, (GetSystemMetrics(SM_CYSCREEN) - (r.bottom - r.top)) / 2);
    EXPECT_TRUE(PumpUntil([&] { return GetForegroundWindow() == w; }, 3000));
    SaveScreenshot(w, "progress_alert_centred");
}

} // namespace

TEST(ProgressAlert, AbortButtonUnderTheBarMarksTheWorkAborted) {
    auto alert = CreateProgressAlert("Abortable", nullptr, "");
    alert->AddPhase("Connecting to the mail server...", 1000);
    alert->AllowAbort("Cancel");
    EXPECT_FALSE(alert->Aborted());
    ASSERT_TRUE(alert->Display(nullptr, true));
    const HWND w = FindAlert("Abortable").Window;
    ASSERT_TRUE(w);
    const HWND bar = FindWindowExA(w, nullptr, PROGRESS_CLASSA, nullptr);
    const HWND abort = FindWindowExA(w, nullptr, "Button", "Cancel");
    ASSERT_TRUE(bar && abort);
    const RECT b = ChildRect(bar), a = ChildRect(abort);
    RECT client;
    GetClientRect(w, &client);
    EXPECT_EQ(a.right, b.right) << "right-aligned with the bar";
    EXPECT_EQ(a.top, b.bottom + 8);
    EXPECT_EQ(a.bottom - a.top, 23);
    EXPECT_GE(a.right - a.left, 75);
    EXPECT_EQ(client.bottom - a.bottom, 12) << "the bottom margin stays";
    PumpFor(200);
    EXPECT_FALSE(SaveScreenshot(w, "progress_alert_abort").empty());

    // A real click, as the mouse delivers it.
    POINT centre{(a.left + a.right) / 2, (a.top + a.bottom) / 2};
    ClientToScreen(w, &centre);
    SetForegroundWindow(w);
    SetCursorPos(centre.x, centre.y);
    INPUT click[2] = {};
    click[0].type = click[1].type = INPUT_MOUSE;
    click[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    click[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, click, sizeof(INPUT));
    EXPECT_TRUE(PumpUntil([&] { return alert->Aborted(); }, 3000));
    EXPECT_FALSE(IsWindowEnabled(abort)) << "pressed once, then disabled";
    EXPECT_TRUE(IsWindowVisible(w)) << "the work closes the window, not the button";
    alert->Dismiss();
}
