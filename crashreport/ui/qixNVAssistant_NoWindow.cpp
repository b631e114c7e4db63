// Without a window system a form cannot be answered: it counts as cancelled.
#include "crashreport/ui/qixNVAssistant_Model.h"

namespace qix {

uint8_t ShowFormWindow(TNVForm& form, TWindowHandle) {
    form.Fire(kFormShown, nullptr);
    form.Close(kResultCancel);
    form.Fire(kFormClosed, nullptr);
    return kResultCancel;
}

std::shared_ptr<void> HoldOwnerDisabled(TWindowHandle) {
    return nullptr;
}

} // namespace qix
