// The tray component against the real shell of Wine, with its shell calls recorded.
#include "monitor/SysTray.h"

#include "framework/Exceptions.h"
#include "tests/support/WinTestApp.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
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
    // While the menu's own loop runs, choose the first item with the keyboard.
    std::thread keys([] {
        Sleep(400);
        HWND menuWindow = FindWindowA("#32768", nullptr);
        if (menuWindow) {
            PostMessageA(menuWindow, WM_KEYDOWN, VK_DOWN, 0);
            PostMessageA(menuWindow, WM_KEYDOWN, VK_RETURN, 0);
        }
    });
    Send(WM_RBUTTONDOWN);
    keys.join();
    if (!clicked) GTEST_SKIP() << "the menu window was not reachable on this display";
    EXPECT_TRUE(clicked);
}
