// Form descriptions come from module resources that may be damaged: any bytes must
// give a clean status, and building a form from whatever was read must not fault.
#include "crashreport/ui/qixNVAssistant_Model.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    const qix::TNVStreamResult parsed = qix::ParseFormStream(bytes);
    if (parsed.status == qix::TNVStreamStatus::Ok && !parsed.message.empty()) std::abort();
    qix::TNVAssistant assistant("fuzz");
    auto form = assistant.AppendForm("", bytes);
    form->Created();
    if (form->ItemCount() < 3) std::abort();
    (void)form->CanContinue();
    for (bool back : {false, true}) {
        qix::TNVItem* i = form->FirstFocus();
        for (int n = 0; i && n < form->ItemCount(); ++n)
            i = form->NextFocusable(i, back);
    }
    return 0;
}
