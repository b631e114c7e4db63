#include "monitor/RegConfig.h"

#include "framework/Exceptions.h"
#include "framework/Forms.h"
#include "framework/Registry.h"
#include "framework/StdCtrls.h"

std::string ConfigKey() {
    return "\\Software\\VORN\\" + (fw::Application ? fw::Application->Title() : std::string()) +
           "\\";
}

namespace {
void ForEachChild(fw::TControl* control, void (*visit)(fw::TControl*, bool)) {
    if (auto* container = dynamic_cast<fw::TWinControl*>(control))
        for (fw::TControl* child : container->ChildControls())
            visit(child, false);
}

[[noreturn]] void UnknownControl(fw::TControl* control) {
    throw fw::Exception("Unknown control type for control " + control->Name());
}
} // namespace

void SaveControls(fw::TControl* Control, bool Strict) {
    ForEachChild(Control, &SaveControls);
    fw::TRegistry registry;
    registry.OpenKey(ConfigKey(), true);
    if (auto* edit = dynamic_cast<fw::TCustomEdit*>(Control))
        registry.WriteString(Control->Name(), edit->Text());
    else if (Strict && !Control->IsWindowed())
        UnknownControl(Control);
}

void LoadControls(fw::TControl* Control, bool Strict) {
    ForEachChild(Control, &LoadControls);
    fw::TRegistry registry;
    registry.OpenKey(ConfigKey(), true);
    if (!registry.ValueExists(Control->Name())) return;
    if (auto* edit = dynamic_cast<fw::TCustomEdit*>(Control))
        edit->SetText(registry.ReadString(Control->Name()));
    else if (Strict)
        UnknownControl(Control);
}
