#pragma once
// Label and single-line edit.
#include "framework/Controls.h"

namespace fw {

class TLabel : public TControl {
public:
    explicit TLabel(TComponent* owner) : TControl(owner) {}
    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& caption);
    void Paint(HDC dc) override;

private:
    std::string caption_;
};

using TKeyEvent = std::function<void(TComponent* sender, WORD& key, TShiftState shift)>;

class TCustomEdit : public TWinControl {
public:
    explicit TCustomEdit(TComponent* owner);

    int SelStart();
    int SelLength();
    void SetSelStart(int start);
    void SetSelLength(int length);

    TNotifyEvent OnChange;
    TKeyEvent OnKeyDown;
    TNotifyEvent OnExit;

    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void CommandNotify(WORD code) override;

protected:
    void CreateParams(TCreateParams& params) override;
};

class TEdit : public TCustomEdit {
public:
    using TCustomEdit::TCustomEdit;
};

TShiftState KeyboardShiftState();

} // namespace fw
