#pragma once
// Popup menu with its items.
#include "framework/Classes.h"

#include <windows.h>

namespace fw {

class TMenuItem : public TComponent {
public:
    explicit TMenuItem(TComponent* owner) : TComponent(owner) {}
    std::string Caption;
    bool Default = false;
    TNotifyEvent OnClick;
    virtual void Click();
};

class TPopupMenu : public TComponent {
public:
    explicit TPopupMenu(TComponent* owner) : TComponent(owner) {}

    void Add(TMenuItem* item) { items_.push_back(item); }
    const std::vector<TMenuItem*>& Items() const { return items_; }
    TMenuItem* FindItem(const std::string& caption) const;

    bool AutoPopup = true;
    TComponent* PopupComponent = nullptr;

    // Shows the menu at a screen position and runs the chosen item's click.
    virtual void Popup(int x, int y);

protected:
    void Notification(TComponent* component, TOperation operation) override;

private:
    std::vector<TMenuItem*> items_;
};

} // namespace fw
