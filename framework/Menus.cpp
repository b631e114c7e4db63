#include "framework/Menus.h"

#include "framework/Forms.h"

#include <algorithm>

namespace fw {

void TMenuItem::Click() {
    if (OnClick) OnClick(this);
}

TMenuItem* TPopupMenu::FindItem(const std::string& caption) const {
    for (TMenuItem* item : items_)
        if (item->Caption == caption) return item;
    return nullptr;
}

void TPopupMenu::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation == TOperation::opRemove)
        items_.erase(std::remove(items_.begin(), items_.end(), component), items_.end());
}

void TPopupMenu::Popup(int x, int y) {
    HMENU menu = CreatePopupMenu();
    for (size_t i = 0; i < items_.size(); ++i) {
        TMenuItem* item = items_[i];
        if (item->Caption == "-")
            AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
        else
            AppendMenuA(menu, MF_STRING, i + 1, item->Caption.c_str());
        if (item->Default) SetMenuDefaultItem(menu, static_cast<UINT>(i + 1), FALSE);
    }
    HWND owner = Application ? Application->Handle() : nullptr;
    UINT chosen = static_cast<UINT>(TrackPopupMenu(
        menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, x, y, 0, owner, nullptr));
    // Lets the menu close properly when the owner was not in the foreground.
    PostMessageA(owner, WM_NULL, 0, 0);
    DestroyMenu(menu);
    if (chosen > 0 && chosen <= items_.size()) {
        TMenuItem* item = items_[chosen - 1];
        Dispatch([&] { item->Click(); });
    }
}

} // namespace fw
