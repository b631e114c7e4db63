#pragma once
// Up-down: holds a 16-bit position within bounds and writes it, grouped by
// thousands, into its associated control whenever the position changes.
#include "framework/Controls.h"

#include <cstdint>

namespace fw {

enum class TUpDownDirection { updNone, updUp, updDown };
using TUDChangingEventEx = std::function<void(TComponent* sender, bool& allowChange,
                                              int16_t newValue, TUpDownDirection direction)>;

class TUpDown : public TWinControl {
public:
    explicit TUpDown(TComponent* owner);

    int16_t Min() const { return min_; }
    int16_t Max() const { return max_; }
    int16_t Position() const { return position_; }
    void SetMin(int16_t v);
    void SetMax(int16_t v);
    // Raises OnChangingEx first; a veto leaves the position as it is.
    void SetPosition(int16_t v);

    TWinControl* Associate() const { return associate_; }
    void SetAssociate(TWinControl* control);

    TUDChangingEventEx OnChangingEx;

    LRESULT Notify(NMHDR* hdr) override;

protected:
    void CreateParams(TCreateParams& params) override;
    void Notification(TComponent* component, TOperation operation) override;

private:
    bool CanChange(int16_t newValue, TUpDownDirection direction);
    void Apply(int16_t v);
    int16_t min_ = 0, max_ = 100, position_ = 0;
    TWinControl* associate_ = nullptr;
};

// Decimal digits grouped by thousands with the given separator ("-1,234").
std::string GroupThousands(long value, const std::string& separator);

} // namespace fw
