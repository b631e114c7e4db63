#include "monitor/VornControl.h"

#include "framework/Exceptions.h"
#include "framework/Forms.h"

#include <charconv>

bool TryParseInt(const std::string& text, int32_t& value) {
    const char* first = text.data();
    const char* last = first + text.size();
    // from_chars takes a minus but no plus; one sign at most either way.
    if (first != last && *first == '+') {
        ++first;
        if (first == last || *first == '-') return false;
    }
    if (first == last) return false;
    auto [end, ec] = std::from_chars(first, last, value);
    return ec == std::errc() && end == last;
}

TVornSpinEdit::TVornSpinEdit(fw::TComponent* owner) : fw::TEdit(owner) {
    fw::TEdit::OnChange = [this](fw::TComponent* s) { HandleTextChange(s); };
    OnKeyDown = [this](fw::TComponent* s, WORD& key, fw::TShiftState shift) {
        HandleKeyDown(s, key, shift);
    };
    OnExit = [this](fw::TComponent* s) { HandleExit(s); };
    if (HandleAllocated()) AddExStyle(WS_EX_RIGHT);
}

void TVornSpinEdit::SetUpDown(fw::TUpDown* upDown) {
    upDown_ = upDown;
    if (!upDown_) return;
    FreeNotification(upDown_);
    upDown_->OnChangingEx = [this](fw::TComponent* s, bool& allow, int16_t v,
                                   fw::TUpDownDirection d) {
        HandleUpDownChanging(s, allow, v, d);
    };
}

void TVornSpinEdit::Notification(fw::TComponent* component, fw::TOperation operation) {
    fw::TEdit::Notification(component, operation);
    if (operation == fw::TOperation::opRemove && component == upDown_) upDown_ = nullptr;
}

void TVornSpinEdit::PlaceUpDown() {
    if (upDown_) upDown_->SetBounds(left_ + width_ + 1, top_, upDown_->Width(), height_);
}

void TVornSpinEdit::SetBounds(int left, int top, int width, int height) {
    fw::TEdit::SetBounds(left, top, width, height);
    PlaceUpDown();
    if (HandleAllocated()) {
        AddExStyle(WS_EX_RIGHT);
        AddStyle(ES_RIGHT);
    }
}

void TVornSpinEdit::VisibleChanging(bool visible) {
    if (!upDown_) return;
    if (visible) {
        PlaceUpDown();
        AddExStyle(WS_EX_RIGHT);
        AddStyle(ES_RIGHT);
    }
    upDown_->SetVisible(visible);
}

int32_t TVornSpinEdit::IntValue() {
    if (upDown_) {
        if (InternalChange && PendingValue != NoPendingValue) return PendingValue;
        return upDown_->Position();
    }
    int32_t v = 0;
    return TryParseInt(Text(), v) ? v : 0;
}

void TVornSpinEdit::SetIntValue(int32_t value) {
    if (upDown_) {
        if (value < -32768 || value > 32767) throw fw::ERangeError();
        upDown_->SetPosition(static_cast<int16_t>(value));
    } else {
        SetText(std::to_string(value));
    }
}

void TVornSpinEdit::SetTextKeepingCaret(const std::string& text) {
    SavedSelStart = SelStart();
    SavedSelLength = SelLength();
    SetText(text);
    SetSelStart(SavedSelStart);
    SetSelLength(SavedSelLength);
}

void TVornSpinEdit::HandleTextChange(fw::TComponent* sender) {
    if (InternalChange) return;
    if (OnChange) OnChange(sender);
    if (!upDown_) return;
    std::string s = Text();
    // Digit groups of locales that use the no-break space are accepted.
    for (size_t i = s.size(); i-- > 0;)
        if (static_cast<unsigned char>(s[i]) == 0xA0) s.erase(i, 1);
    int32_t v = 0;
    if (s.empty() || (TryParseInt(s, v) && v >= upDown_->Min() && v <= upDown_->Max())) {
        if (upDown_->Position() != v) upDown_->SetPosition(static_cast<int16_t>(v));
        SetText(s);
    } else {
        fw::Application->Beep();
        SetTextKeepingCaret(std::to_string(upDown_->Position()));
    }
}

void TVornSpinEdit::HandleUpDownChanging(fw::TComponent* sender, bool& allowChange,
                                         int16_t newValue, fw::TUpDownDirection) {
    if (newValue < upDown_->Min() || newValue > upDown_->Max()) allowChange = false;
    if (!allowChange || InternalChange) return;
    InternalChange = true;
    PendingValue = newValue;
    struct Reset {
        TVornSpinEdit* self;
        ~Reset() {
            self->InternalChange = false;
            self->PendingValue = NoPendingValue;
        }
    } reset{this};
    if (OnChange) OnChange(sender);
    ShowValue(newValue);
}

void TVornSpinEdit::HandleKeyDown(fw::TComponent* sender, WORD& key, fw::TShiftState) {
    if (!upDown_) return;
    int step;
    switch (key) {
    case VK_PRIOR:
        step = 10;
        break;
    case VK_NEXT:
        step = -10;
        break;
    case VK_UP:
        step = 1;
        break;
    case VK_DOWN:
        step = -1;
        break;
    default:
        return;
    }
    InternalChange = true;
    const int32_t sum = upDown_->Position() + step;
    if (sum < -32768 || sum > 32767)
        fw::Application->Beep();
    else
        upDown_->SetPosition(static_cast<int16_t>(sum));
    InternalChange = false;
    key = 0;
    ShowValue(upDown_->Position());
    if (OnChange) OnChange(sender);
}

void TVornSpinEdit::HandleExit(fw::TComponent*) {
    if (Text().empty()) SetText("0");
}

void TVornSpinEdit::ShowValue(int16_t value) {
    if (!upDown_ || (Text().empty() && value == 0)) return;
    SetTextKeepingCaret(std::to_string(value));
}
