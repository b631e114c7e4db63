#pragma once
// Notification-area icon that turns the shell's notifications into component events.
#include "framework/Classes.h"
#include "framework/Graphics.h"
#include "framework/Menus.h"

#include <windows.h>

#include <shellapi.h>

#include <string>

// The shell's callback message for our icon.
constexpr UINT TrayCallbackMessage = WM_USER + 299;

// The ANSI record as the shell of the time knows it (488 bytes on 32-bit Windows).
struct TTrayIconData {
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    HICON hIcon;
    CHAR szTip[128];
    DWORD dwState;
    DWORD dwStateMask;
    CHAR szInfo[256];
    UINT uTimeoutOrVersion;
    CHAR szInfoTitle[64];
    DWORD dwInfoFlags;
};

using TSysTrayHint = std::string; // at most 63 characters when read

class TSysTray : public fw::TComponent {
public:
    explicit TSysTray(fw::TComponent* owner);
    ~TSysTray() override;

    bool Visible() const { return visible_; }
    void SetVisible(bool visible);
    fw::TPopupMenu* PopupMenu() const { return popupMenu_; }
    void SetPopupMenu(fw::TPopupMenu* menu);
    const fw::TIcon& Icon() const { return icon_; }
    void SetIcon(const fw::TIcon& icon);
    TSysTrayHint Hint() const;
    void SetHint(const std::string& hint);

    fw::TNotifyEvent OnClick;
    fw::TNotifyEvent OnDblClick;
    fw::TMouseEvent OnMouseDown;
    fw::TMouseMoveEvent OnMouseMove;
    fw::TMouseEvent OnMouseUp;

    HICON CurrentIconHandle() const;
    HWND WindowHandle() const { return window_; }
    UINT Identifier() const { return data_.uID; }
    const TTrayIconData& IconData() const { return data_; }

protected:
    virtual void MouseDown(fw::TMouseButton button, fw::TShiftState shift, int x, int y);
    virtual void MouseMove(fw::TShiftState shift, int x, int y);
    virtual void MouseUp(fw::TMouseButton button, fw::TShiftState shift, int x, int y);
    virtual void Click();
    virtual void DblClick();
    // The one place that talks to the shell; results are not examined.
    virtual void ShellNotify(DWORD operation);
    void Notification(fw::TComponent* component, fw::TOperation operation) override;

private:
    static LRESULT CALLBACK HandleTrayMessage(HWND, UINT, WPARAM, LPARAM);
    void HandleMouse(WPARAM wParam, LPARAM lParam);
    void ShowPopup();
    void TrayImageChanged();
    void ShellRestarted();

    bool visible_ = false;
    bool oldShell_ = false;
    fw::TPopupMenu* popupMenu_ = nullptr;
    fw::TIcon icon_;
    HWND window_ = nullptr;
    // The shell broadcasts this when it starts afresh and has forgotten every icon.
    UINT taskbarCreated_ = 0;
    TTrayIconData data_{};
};
