#include "framework/ComCtrls.h"

#include "framework/Forms.h"

#include <commctrl.h>

#include <cstdlib>

namespace fw {

std::string GroupThousands(long value, const std::string& separator) {
    std::string digits = std::to_string(std::labs(value));
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += separator;
        out += digits[i];
    }
    return value < 0 ? "-" + out : out;
}

namespace {
std::string LocaleThousandSeparator() {
    char buf[8] = {};
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STHOUSAND, buf, sizeof buf) <= 0) return ",";
    return buf;
}
} // namespace

TUpDown::TUpDown(TComponent* owner) : TWinControl(owner) {}

void TUpDown::CreateParams(TCreateParams& params) {
    params.className = UPDOWN_CLASSA;
    params.style = UDS_NOTHOUSANDS;
}

void TUpDown::SetMin(int16_t v) {
    min_ = v;
    SendMessageA(Handle(), UDM_SETRANGE32, min_, max_);
}

void TUpDown::SetMax(int16_t v) {
    max_ = v;
    SendMessageA(Handle(), UDM_SETRANGE32, min_, max_);
}

bool TUpDown::CanChange(int16_t newValue, TUpDownDirection direction) {
    bool allow = true;
    if (OnChangingEx) OnChangingEx(this, allow, newValue, direction);
    return allow;
}

void TUpDown::Apply(int16_t v) {
    position_ = v;
    SendMessageA(Handle(), UDM_SETPOS32, 0, position_);
    if (associate_) associate_->SetText(GroupThousands(position_, LocaleThousandSeparator()));
}

void TUpDown::SetPosition(int16_t v) {
    if (v == position_) return;
    if (CanChange(v, TUpDownDirection::updNone)) Apply(v);
}

void TUpDown::SetAssociate(TWinControl* control) {
    if (associate_) associate_->RemoveFreeNotification(this);
    associate_ = control;
    if (associate_) FreeNotification(associate_);
}

void TUpDown::Notification(TComponent* component, TOperation operation) {
    TWinControl::Notification(component, operation);
    if (operation == TOperation::opRemove && component == associate_) associate_ = nullptr;
}

LRESULT TUpDown::Notify(NMHDR* hdr) {
    if (hdr->code != UDN_DELTAPOS) return 0;
    auto* nm = reinterpret_cast<NMUPDOWN*>(hdr);
    long proposed = static_cast<long>(position_) + nm->iDelta;
    if (proposed < -32768 || proposed > 32767) return 1;
    auto newValue = static_cast<int16_t>(proposed);
    auto direction = nm->iDelta > 0 ? TUpDownDirection::updUp : TUpDownDirection::updDown;
    bool allow = false;
    Dispatch([&] { allow = CanChange(newValue, direction); });
    if (!allow) return 1;
    Dispatch([&] { Apply(newValue); });
    // The position is ours; the control only draws the arrows.
    return 1;
}

} // namespace fw
