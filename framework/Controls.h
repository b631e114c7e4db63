#pragma once
// Controls: placement, visibility and a parent; windowed controls own a window
// and get their window messages (with WM_COMMAND/WM_NOTIFY reflected from the parent).
#include "framework/Classes.h"

#include <windows.h>

#include <string>
#include <vector>

namespace fw {

class TWinControl;

class TControl : public TComponent {
public:
    explicit TControl(TComponent* owner);
    ~TControl() override;

    TWinControl* Parent() const { return parent_; }
    virtual void SetParent(TWinControl* parent);

    int Left() const { return left_; }
    int Top() const { return top_; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    virtual void SetBounds(int left, int top, int width, int height);

    bool Visible() const { return visible_; }
    void SetVisible(bool visible);

    // Paints a control that has no window of its own onto its parent.
    virtual void Paint(HDC) {}
    virtual bool IsWindowed() const { return false; }

protected:
    // Called before the visibility changes; the new value is passed.
    virtual void VisibleChanging(bool) {}
    virtual void ApplyVisible() {}
    void InvalidateOnParent();

    TWinControl* parent_ = nullptr;
    int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
    bool visible_ = true;
};

struct TCreateParams {
    const char* className = nullptr;
    DWORD style = 0;
    DWORD exStyle = 0;
};

class TWinControl : public TControl {
public:
    explicit TWinControl(TComponent* owner);
    ~TWinControl() override;

    bool IsWindowed() const override { return true; }
    HWND Handle();
    bool HandleAllocated() const { return handle_ != nullptr; }

    void SetParent(TWinControl* parent) override;
    void SetBounds(int left, int top, int width, int height) override;
    std::string Text() const;
    void SetText(const std::string& text);
    void SetFocus();

    // Non-windowed children first, then windowed ones, each in insertion order.
    std::vector<TControl*> ChildControls() const;
    void InsertControl(TControl* control);
    void RemoveControl(TControl* control);

    void AddExStyle(DWORD exStyle);
    void AddStyle(DWORD style);

    // Message handling; the default passes on to the window class's procedure.
    virtual LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam);
    // Notifications reflected from the parent.
    virtual void CommandNotify(WORD) {}
    virtual LRESULT Notify(NMHDR*) { return 0; }

    static TWinControl* FromHandle(HWND hwnd);

protected:
    virtual void CreateParams(TCreateParams& params) = 0;
    virtual HWND ParentHandleForCreate();
    void CreateHandle();
    void DestroyHandle();
    LRESULT DefaultHandler(UINT msg, WPARAM wParam, LPARAM lParam);
    void ApplyVisible() override;

private:
    static LRESULT CALLBACK SubclassProc(HWND, UINT, WPARAM, LPARAM);
    HWND handle_ = nullptr;
    WNDPROC oldProc_ = nullptr;
    std::vector<TControl*> controls_;
    std::vector<TControl*> winControls_;
};

} // namespace fw
