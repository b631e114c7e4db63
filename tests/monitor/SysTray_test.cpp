// The tray component against the real shell of Wine, with its shell calls recorded.
#include "monitor/SysTray.h"

#include "framework/Exceptions.h"
#include "tests/support/WinTestApp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

struct ShellCall {
    DWORD operation;
    std::string tip;
    HICON icon;
};

class RecordingTray : public TSysTray {
public:
    using TSysTray::TSysTray;
    std::vector<ShellCall> calls;
    std::vector<std::string> events;

protected:
    void ShellNotify(DWORD operation) override {
        calls.push_back({operation, IconData().szTip, IconData().hIcon});
        TSysTray::ShellNotify(operation);
    }
};

class RecordingMenu : public fw::TPopupMenu {
public:
    using fw::TPopupMenu::TPopupMenu;
    int popups = 0;
    std::vector<std::string>* log = nullptr;
    void Popup(int, int) override {
        ++popups;
        if (log) log->push_back("popup");
    }
};

class TrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestApplication();
        owner = std::make_unique<fw::TComponent>(nullptr);
        tray = new RecordingTray(owner.get());
        auto name = [](fw::TMouseButton b) {
            return b == fw::TMouseButton::mbLeft    ? "left"
                   : b == fw::TMouseButton::mbRight ? "right"
                                                    : "middle";
        };
        tray->OnClick = [this](fw::TComponent*) { tray->events.push_back("click"); };
        tray->OnDblClick = [this](fw::TComponent*) { tray->events.push_back("dblclick"); };
        tray->OnMouseDown = [this, name](fw::TComponent*, fw::TMouseButton b, fw::TShiftState s,
                                         int, int) {
            tray->events.push_back(std::string("down ") + name(b) +
                                   (s & fw::ssDouble ? " double" : ""));
        };
        tray->OnMouseUp = [this, name](fw::TComponent*, fw::TMouseButton b, fw::TShiftState, int,
                                       int) {
            tray->events.push_back(std::string("up ") + name(b));
        };
    }
    void Send(UINT mouseMessage) {
        SendMessageA(tray->WindowHandle(), TrayCallbackMessage, tray->Identifier(), mouseMessage);
    }
    std::unique_ptr<fw::TComponent> owner;
    RecordingTray* tray = nullptr;
};

} // namespace

TEST_F(TrayTest, ShellSeesAddWithAppIconThenHintThenIconThenDelete) {
    std::vector<ShellCall>* log = &tray->calls;
    tray->SetVisible(true);
    tray->SetHint("VORN Ravelink");
    fw::TIcon icon;
    icon.SetHandle(CopyIcon(LoadIconA(nullptr, IDI_WARNING)));
    tray->SetIcon(icon);
    ASSERT_EQ(log->size(), 3u);
    EXPECT_EQ((*log)[0].operation, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ((*log)[0].tip, "");
    EXPECT_EQ((*log)[0].icon, fw::Application->Icon()); // no image yet: the program's icon
    EXPECT_EQ((*log)[1].operation, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ((*log)[1].tip, "VORN Ravelink");
    EXPECT_EQ((*log)[2].operation, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ((*log)[2].icon, tray->Icon().Handle());
    EXPECT_NE(tray->Icon().Handle(), icon.Handle()); // a copy, not the caller's image
    tray->SetVisible(false);
    ASSERT_EQ(log->size(), 4u);
    EXPECT_EQ((*log)[3].operation, static_cast<DWORD>(NIM_DELETE));
    EXPECT_EQ(tray->IconData().cbSize, 488u);
    EXPECT_EQ(tray->IconData().uFlags, 7u);
    EXPECT_EQ(tray->IconData().uCallbackMessage, 1323u);
}

TEST_F(TrayTest, HintIsCutTo127AndReadsBackAtMost63) {
    tray->SetVisible(true);
    const std::string longHint(200, 'h');
    tray->SetHint(longHint);
    EXPECT_EQ(std::string(tray->IconData().szTip).size(), 127u);
    EXPECT_EQ(tray->Hint(), std::string(63, 'h'));
    tray->SetVisible(false);
}

TEST_F(TrayTest, SameHintTwiceSendsOneModification) {
    tray->SetVisible(true);
    tray->SetHint("VORN Ravelink 2");
    tray->SetHint("VORN Ravelink 2");
    int modifies = 0;
    for (const ShellCall& c : tray->calls)
        modifies += c.operation == NIM_MODIFY;
    EXPECT_EQ(modifies, 1);
    tray->SetVisible(false);
}

TEST_F(TrayTest, LeftDoubleClickFiresClickDoubleClickClick) {
    for (UINT m : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP})
        Send(m);
    const std::vector<std::string> expected = {"down left",        "click", "up left", "dblclick",
                                               "down left double", "click", "up left"};
    EXPECT_EQ(tray->events, expected);
}

TEST_F(TrayTest, NotificationsForAnotherIdentifierAreIgnored) {
    SendMessageA(tray->WindowHandle(), TrayCallbackMessage, tray->Identifier() + 1, WM_LBUTTONUP);
    EXPECT_TRUE(tray->events.empty());
}

TEST_F(TrayTest, PopupOpensOnRightPressNotOnRelease) {
    auto* menu = new RecordingMenu(owner.get());
    menu->log = &tray->events;
    tray->SetPopupMenu(menu);
    Send(WM_RBUTTONDOWN);
    const std::vector<std::string> afterPress = {"down right", "popup"};
    EXPECT_EQ(tray->events, afterPress);
    EXPECT_EQ(menu->PopupComponent, tray);
    Send(WM_RBUTTONUP);
    EXPECT_EQ(menu->popups, 1);
    menu->AutoPopup = false;
    Send(WM_RBUTTONDOWN);
    EXPECT_EQ(menu->popups, 1);
}

TEST_F(TrayTest, DestroyingTheMenuFirstLeavesPopupMenuEmpty) {
    auto* menu = new RecordingMenu(owner.get());
    tray->SetPopupMenu(menu);
    delete menu;
    EXPECT_EQ(tray->PopupMenu(), nullptr);
    Send(WM_RBUTTONDOWN);
    const std::vector<std::string> expected = {"down right"};
    EXPECT_EQ(tray->events, expected);
}

TEST_F(TrayTest, ErrorInAHandlerGoesToTheApplication) {
    std::string reported;
    fw::Application->OnException = [&](const std::string& m) { reported = m; };
    tray->OnClick = [](fw::TComponent*) { throw fw::Exception("boom"); };
    Send(WM_LBUTTONUP);
    fw::Application->OnException = nullptr;
    EXPECT_EQ(reported, "boom");
}

TEST_F(TrayTest, RealMenuPopsUpAtTheCursorAndRunsTheChosenItem) {
    fw::TPopupMenu* menu = new fw::TPopupMenu(owner.get());
    auto* item = new fw::TMenuItem(owner.get());
    item->Caption = "Exit";
    bool clicked = false;
    item->OnClick = [&](fw::TComponent*) { clicked = true; };
    menu->Add(item);
    tray->SetPopupMenu(menu);
    SetCursorPos(300, 300);
    // While the menu's own loop runs, wait for its window and choose the item with the keyboard.
    std::atomic<bool> found{false};
    std::thread keys([&found] {
        const DWORD end = GetTickCount() + kLongWait;
        HWND menuWindow = nullptr;
        while (!menuWindow && GetTickCount() < end) {
            menuWindow = FindWindowA("#32768", nullptr);
            if (menuWindow && !IsWindowVisible(menuWindow)) menuWindow = nullptr;
            if (!menuWindow) Sleep(20);
        }
        if (!menuWindow) return;
        found = true;
        PostMessageA(menuWindow, WM_KEYDOWN, VK_DOWN, 0);
        PostMessageA(menuWindow, WM_KEYDOWN, VK_RETURN, 0);
    });
    Send(WM_RBUTTONDOWN);
    keys.join();
    ASSERT_TRUE(found) << "the popup menu's window never appeared";
    EXPECT_TRUE(clicked);
}

namespace {
// A 16 x 16 icon of one colour, opaque everywhere.
HICON SolidIcon(uint32_t rgb) {
    BITMAPINFO bi{};
    bi.bmiHeader = {sizeof(BITMAPINFOHEADER), 16, -16, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP colour = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    std::fill_n(static_cast<uint32_t*>(bits), 256, rgb);
    static const uint8_t zeros[32] = {};
    HBITMAP mask = CreateBitmap(16, 16, 1, 1, zeros);
    ICONINFO info{TRUE, 0, 0, mask, colour};
    HICON icon = CreateIconIndirect(&info);
    DeleteObject(colour);
    DeleteObject(mask);
    return icon;
}

// Where the shell draws its icons: without a desktop shell, Wine shows them in a
// window of its own, present while it holds icons.
HWND NotificationArea() {
    HWND wine = FindWindowA(nullptr, "Wine System Tray");
    if (wine) return IsWindowVisible(wine) ? wine : nullptr;
    HWND taskbar = FindWindowA("Shell_TrayWnd", nullptr);
    return taskbar ? FindWindowExA(taskbar, nullptr, "TrayNotifyWnd", nullptr) : nullptr;
}

int PixelsOf(const TestImage& image, uint32_t rgb) {
    return static_cast<int>(std::count(image.rgb.begin(), image.rgb.end(), rgb));
}
} // namespace

TEST_F(TrayTest, ShellRestartGetsTheIconBackWithItsImageAndHint) {
    constexpr uint32_t kColour = 0x12C034; // no other icon of the test run has it
    fw::TIcon icon;
    icon.SetHandle(SolidIcon(kColour));
    tray->SetIcon(icon);
    tray->SetVisible(true);
    tray->SetHint("kept across the restart");
    auto shown = [&] {
        HWND area = NotificationArea();
        return area && PixelsOf(CaptureWindow(area), kColour) >= 64;
    };
    ASSERT_TRUE(PumpUntil(shown, kLongWait)) << "the icon never appeared in the tray window";

    // A restarted shell knows no icons: take ours away behind the component's back.
    TTrayIconData data = tray->IconData();
    ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, reinterpret_cast<NOTIFYICONDATAA*>(&data)));
    ASSERT_TRUE(PumpUntil([&] { return !shown(); }, kLongWait));
    tray->calls.clear();

    PostMessageA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    ASSERT_TRUE(PumpUntil(shown, kLongWait)) << "the icon did not come back";
    SaveScreenshot(NotificationArea(), "tray-after-shell-restart");
    ASSERT_EQ(tray->calls.size(), 1u);
    EXPECT_EQ(tray->calls[0].operation, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(tray->calls[0].tip, "kept across the restart");
    EXPECT_EQ(tray->calls[0].icon, tray->Icon().Handle());
    // The shell knows the icon again: it accepts a change to it.
    EXPECT_TRUE(Shell_NotifyIconA(NIM_MODIFY, reinterpret_cast<NOTIFYICONDATAA*>(&data)));

    // A hidden icon stays hidden when the shell comes back.
    tray->SetVisible(false);
    tray->calls.clear();
    SendMessageA(tray->WindowHandle(), RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    EXPECT_TRUE(tray->calls.empty());
}
