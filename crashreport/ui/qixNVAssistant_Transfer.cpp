// What the forms hand to the report, and what the settings keep for the next time.
#include "crashreport/core/qixExcept_Exception.h"
#include "crashreport/ui/qixNVAssistant_Model.h"

namespace qix {

void TransferToException(const TNVAssistant& assistant, IQXException& exception) {
    for (const auto& form : assistant.forms) {
        if (form->modalResult != kResultContinue) continue;
        for (const auto& item : form->items) {
            if (item->outputName.empty()) continue;
            if (item->Kind() == TNVItemKind::CheckBox) {
                const bool checked = static_cast<const TNVCheckBox&>(*item).checked;
                exception.HeaderFields()->SetContents(item->outputName, checked ? "yes" : "no");
            } else if (item->Kind() == TNVItemKind::Edit) {
                const auto& edit = static_cast<const TNVEdit&>(*item);
                // Only many lines make a section; a single line stays a field.
                if (edit.outputType == TNVOutputType::OwnSection && edit.MultiLine())
                    exception.SectionFields()->SetContents(edit.outputName, edit.caption);
                else
                    exception.HeaderFields()->SetContents(edit.outputName, edit.caption);
            }
        }
    }
}

void StoreFormValues(const TNVAssistant& assistant, IQXFields& cache) {
    for (const auto& form : assistant.forms) {
        if (form->modalResult != kResultContinue) continue;
        for (const auto& item : form->items) {
            const std::string key = item->Name();
            if (item->Kind() == TNVItemKind::Edit)
                cache.SetContents(key, item->caption); // empty: no entry, the default stays
            else if (item->Kind() == TNVItemKind::CheckBox)
                cache.SetContents(key, static_cast<const TNVCheckBox&>(*item).checked ? "1" : "0");
        }
    }
}

void RestoreFormValues(TNVAssistant& assistant, const IQXFields& cache) {
    for (const auto& form : assistant.forms) {
        for (const auto& item : form->items) {
            const std::string value = cache.Contents(item->Name());
            if (value.empty()) continue;
            if (item->Kind() == TNVItemKind::Edit)
                item->caption = value;
            else if (item->Kind() == TNVItemKind::CheckBox)
                static_cast<TNVCheckBox&>(*item).checked = value == "1";
        }
        form->UpdateContinue();
    }
}

} // namespace qix
