#pragma once
// Numeric edit paired with an up-down: the up-down stores the value and its bounds,
// the edit shows plain digits, refuses bad text with a beep and steps with the keys.
#include "framework/ComCtrls.h"
#include "framework/StdCtrls.h"

#include <cstdint>

class TVornSpinEdit : public fw::TEdit {
public:
    static constexpr int32_t NoPendingValue = -31337;

    explicit TVornSpinEdit(fw::TComponent* owner);

    fw::TUpDown* UpDown() const { return upDown_; }
    void SetUpDown(fw::TUpDown* upDown);
    int32_t IntValue();
    void SetIntValue(int32_t value);

    fw::TNotifyEvent OnChange;

    void SetBounds(int left, int top, int width, int height) override;

protected:
    void VisibleChanging(bool visible) override;
    void Notification(fw::TComponent* component, fw::TOperation operation) override;

private:
    void HandleTextChange(fw::TComponent* sender);
    void HandleUpDownChanging(fw::TComponent* sender, bool& allowChange, int16_t newValue,
                              fw::TUpDownDirection direction);
    void HandleKeyDown(fw::TComponent* sender, WORD& key, fw::TShiftState shift);
    void HandleExit(fw::TComponent* sender);
    void ShowValue(int16_t value);
    void PlaceUpDown();
    void SetTextKeepingCaret(const std::string& text);

    fw::TUpDown* upDown_ = nullptr;
    int32_t SavedSelStart = 0;
    int32_t SavedSelLength = 0;
    bool InternalChange = false;
    int32_t PendingValue = NoPendingValue;
};

// Plain decimal with an optional sign, in the 32-bit range.
bool TryParseInt(const std::string& text, int32_t& value);
