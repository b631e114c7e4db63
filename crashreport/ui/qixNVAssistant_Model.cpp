// Items, forms and assistants apart from their windows.
#include "crashreport/ui/qixNVAssistant_Model.h"

#include "crashreport/core/qixExcept_Settings.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace qix {
namespace {

int32_t ParseInt(std::string_view text) {
    int32_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

// "%lf%" in a description stands for a line break.
std::string ExpandLineBreaks(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (i + 4 <= text.size() && SameText(text.substr(i, 4), "%lf%")) {
            out += "\r\n";
            i += 4;
        } else {
            out += text[i++];
        }
    }
    return out;
}

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

bool ParseNVBool(std::string_view text) {
    return SameText(text, "yes") || SameText(text, "true") || text == "1";
}

bool CheckMailAddress(std::string_view text) {
    if (text.empty() || text.front() == '.' || text.back() == '.') return false;
    const size_t at = text.find('@');
    if (at == std::string_view::npos || at == 0 || text.find('@', at + 1) != text.npos)
        return false;
    if (at + 1 < text.size() && text[at + 1] == '.') return false;
    if (text.find('.', at + 1) == std::string_view::npos) return false;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        const bool ascii = u < 0x80 && (std::isalnum(u) || c == '+' || c == '-' || c == '_');
        if (!ascii && c != '.' && c != '@') return false; // blanks fall here too
    }
    return true;
}

std::string FormResourceName(std::string_view formName) {
    return "TQX" + Upper(formName);
}

// ---- items

void TNVItem::Changed() {
    if (form_ && form_->view) form_->view->ItemChanged(*this);
}

void TNVItem::SetEnabled(bool value) {
    enabled = value;
    Changed();
}

void TNVItem::SetCaption(std::string_view value) {
    caption = value;
    Changed();
    // A text set by a handler counts like typed text for the continue button.
    if (form_ && Kind() == TNVItemKind::Edit) form_->UpdateContinue();
}

void TNVItem::Focus() {
    if (form_ && form_->view) form_->view->FocusItem(*this);
}

bool TNVItem::SetProperty(std::string_view name, std::string_view value) {
    if (name == "Spacing") {
        spacing = ParseInt(value);
    } else if (name == "Enabled") {
        enabled = ParseNVBool(value);
    } else if (name == "OutputType") {
        // Any case: descriptions write the enumeration name, e.g. "otOwnSection".
        outputType = Upper(value).find("OWNSECTION") != std::string::npos
                         ? TNVOutputType::OwnSection
                         : TNVOutputType::Field;
    } else if (name == "OutputName") {
        outputName = value;
    } else {
        return false;
    }
    return true;
}

bool TNVButton::SetProperty(std::string_view name, std::string_view value) {
    if (name == "Caption")
        caption = value;
    else if (name == "MinWidth")
        minWidth = ParseInt(value);
    else if (name == "NoOwnerDraw")
        noOwnerDraw = ParseNVBool(value);
    else if (name == "Visible")
        visible = ParseNVBool(value);
    else
        return TNVItem::SetProperty(name, value);
    return true;
}

bool TNVLabel::SetProperty(std::string_view name, std::string_view value) {
    if (name != "Caption") return TNVItem::SetProperty(name, value);
    caption = value;
    return true;
}

bool TNVEdit::SetProperty(std::string_view name, std::string_view value) {
    if (name == "Text")
        caption = ExpandLineBreaks(value);
    else if (name == "Lines")
        lines = std::max(1, ParseInt(value));
    else if (name == "Optional")
        optional = ParseNVBool(value);
    else if (name == "Colored")
        colored = ParseNVBool(value);
    else if (name == "Valid")
        valid = ParseNVBool(value);
    else
        return TNVItem::SetProperty(name, value);
    return true;
}

void TNVEdit::SetValid(bool value) {
    valid = value;
    Changed();
    Form().UpdateContinue();
}

bool TNVCheckBox::SetProperty(std::string_view name, std::string_view value) {
    if (name == "Caption" || name == "Text")
        caption = value;
    else if (name == "Checked")
        checked = ParseNVBool(value);
    else
        return TNVItem::SetProperty(name, value);
    return true;
}

void TNVCheckBox::SetChecked(bool value) {
    checked = value;
    Changed();
}

bool TNVImage::SetProperty(std::string_view name, std::string_view value) {
    if (name == "Width")
        width = ParseInt(value);
    else if (name == "Height")
        height = ParseInt(value);
    else if (name == "File")
        file = value;
    else if (name == "Clickable")
        clickable = ParseNVBool(value);
    else if (name == "Border")
        border = ParseNVBool(value);
    else
        return TNVItem::SetProperty(name, value);
    return true;
}

void TNVImage::SetBitmap(PNVBitmap value) {
    bitmap = std::move(value);
    shown.reset();
    Changed();
}

PNVBitmap TNVImage::Source() {
    if (!bitmap && !file.empty()) bitmap = LoadBmpFile(file);
    return bitmap;
}

// ---- forms

TNVForm::TNVForm(TNVAssistant* assistant, std::string name)
    : assistant_(assistant), name_(std::move(name)) {
    static const char* const kNames[] = {"ContinueBtn", "SkipBtn", "CancelBtn"};
    static const char* const kCaptions[] = {"Next >", "Skip", "Cancel"};
    for (int i = 0; i < 3; ++i) {
        auto b = std::make_shared<TNVButton>(this, kNames[i]);
        b->caption = kCaptions[i];
        items.push_back(std::move(b));
    }
    if (assistant_) title = assistant_->Title();
}

TNVForm::~TNVForm() = default;

std::shared_ptr<INVItem> TNVForm::Item(int index) {
    if (index < 0 || index >= ItemCount()) return nullptr;
    return items[static_cast<size_t>(index)];
}

std::shared_ptr<INVButton> TNVForm::StdButton(int index) {
    return std::dynamic_pointer_cast<INVButton>(items[static_cast<size_t>(index)]);
}

TNVItem* TNVForm::FindItem(std::string_view name) const {
    for (const auto& item : items)
        if (SameText(item->Name(), name)) return item.get();
    return nullptr;
}

PNVBitmap TNVForm::Screenshot() const {
    return assistant_ ? assistant_->Screenshot() : nullptr;
}

void TNVForm::SetScreenshot(PNVBitmap value) {
    if (assistant_) assistant_->SetScreenshot(std::move(value));
}

std::string TNVForm::Convert(std::span<const uint8_t> stream) {
    TNVStreamResult parsed = ParseFormStream(stream);
    if (parsed.status == TNVStreamStatus::NoSignature) return {};
    Apply(parsed.root);
    return parsed.message;
}

void TNVForm::Apply(const TNVStreamObject& object) {
    if (name_.empty()) name_ = object.name;
    for (const auto& [name, value] : object.props)
        ApplyFormProperty(name, value);
    for (const auto& child : object.children)
        ApplyChild(child);
}

void TNVForm::ApplyFormProperty(std::string_view name, std::string_view value) {
    if (name == "MinWidth")
        minWidth = ParseInt(value);
    else if (name == "Message")
        message = value;
    else if (name == "ActiveControl")
        activeControl = value;
    else if (name == "Timer")
        timerInterval = std::max(0, ParseInt(value));
    else if (name == "OnAction")
        handlerName = value;
}

void TNVForm::ApplyChild(const TNVStreamObject& object) {
    // The first letter of a class name is not looked at.
    const std::string_view cls = object.className.empty()
                                     ? std::string_view()
                                     : std::string_view(object.className).substr(1);
    std::shared_ptr<TNVItem> item;
    if (cls == "NVButton") {
        // The standard buttons are configured, not added.
        const std::string_view name = object.name == "AbortBtn" ? std::string_view("CancelBtn")
                                                                : std::string_view(object.name);
        for (int i = 0; i < 3 && !item; ++i)
            if (items[static_cast<size_t>(i)]->Name() == name) {
                for (const auto& [n, v] : object.props)
                    items[static_cast<size_t>(i)]->SetProperty(n, v);
                for (const auto& child : object.children)
                    ApplyChild(child);
                return;
            }
        item = std::make_shared<TNVButton>(this, object.name);
    } else if (cls == "NVLabel") {
        item = std::make_shared<TNVLabel>(this, object.name);
    } else if (cls == "NVEdit") {
        item = std::make_shared<TNVEdit>(this, object.name);
    } else if (cls == "NVCheckBox") {
        item = std::make_shared<TNVCheckBox>(this, object.name);
    } else if (cls == "NVImage") {
        item = std::make_shared<TNVImage>(this, object.name);
    }
    if (item) {
        for (const auto& [n, v] : object.props)
            item->SetProperty(n, v);
        items.push_back(std::move(item));
    }
    for (const auto& child : object.children)
        ApplyChild(child);
}

void TNVForm::Created() {
    const size_t n = items.size();
    for (size_t i = 0; i < n; ++i) {
        items[i]->index = static_cast<int>(i);
        items[i]->prev = items[(i + n - 1) % n].get();
        items[i]->next = items[(i + 1) % n].get();
    }
    Fire(kFormCreated, nullptr);
}

void TNVForm::Fire(int action, TNVItem* item) {
    // Handlers may drop the last outside reference to the assistant meanwhile.
    if (handler) handler(*this, action, item, exception);
    if (assistant_ && assistant_->handler) assistant_->handler(*this, action, item, exception);
}

bool TNVForm::CanContinue() const {
    for (const auto& item : items)
        if (item->Kind() == TNVItemKind::Edit && static_cast<const TNVEdit&>(*item).Refuses())
            return false;
    return true;
}

bool TNVForm::UpdateContinue() {
    TNVItem& cont = *items[kContinueIndex];
    const bool hold = !CanContinue();
    if (cont.forceDisabled == hold) return false;
    cont.forceDisabled = hold;
    if (view) view->ItemChanged(cont);
    return true;
}

TNVItem* TNVForm::NextFocusable(TNVItem* from, bool backwards) const {
    if (!from) return FirstFocus();
    for (TNVItem* i = backwards ? from->prev : from->next; i && i != from;
         i = backwards ? i->prev : i->next)
        if (i->Focusable()) return i;
    return from->Focusable() ? from : nullptr;
}

TNVItem* TNVForm::FirstFocus() const {
    if (TNVItem* active = FindItem(activeControl); active && active->Focusable()) return active;
    const size_t n = items.size();
    for (size_t k = 1; k <= n; ++k) {
        TNVItem* i = items[(kCancelIndex + k) % n].get();
        if (i->Focusable()) return i;
    }
    return nullptr;
}

void TNVForm::Close(uint8_t result) {
    modalResult = result;
    finished = true;
}

uint8_t TNVForm::ShowModal(TWindowHandle owner) {
    if (finished) return kResultSkip;
    return ShowFormWindow(*this, owner);
}

// ---- assistants

std::shared_ptr<INVForm> TNVAssistant::Form(int index) {
    if (index < 0 || index >= FormCount()) return nullptr;
    return forms[static_cast<size_t>(index)];
}

std::shared_ptr<INVForm> TNVAssistant::Form(std::string_view name) {
    for (const auto& f : forms)
        if (SameText(f->Name(), name)) return f;
    return nullptr;
}

void TNVAssistant::SetException(IQXException* value) {
    exception_ = value;
    for (const auto& f : forms)
        f->exception = value;
}

std::shared_ptr<TNVForm> TNVAssistant::AppendForm(std::string_view name,
                                                  std::span<const uint8_t> stream,
                                                  std::string* problem) {
    auto form = std::make_shared<TNVForm>(this, std::string(name));
    form->exception = exception_;
    const std::string message = form->Convert(stream);
    if (problem) *problem = message;
    forms.push_back(form);
    for (size_t i = 0; i < forms.size(); ++i) {
        forms[i]->formNumber = static_cast<int>(i) + 1;
        forms[i]->formCount = static_cast<int>(forms.size());
    }
    return form;
}

uint8_t TNVAssistant::ShowModal(TWindowHandle owner) {
    const auto hold = HoldOwnerDisabled(owner);
    modalResult = kResultContinue;
    for (const auto& form : forms) {
        if (form->ShowModal(owner) == kResultCancel) {
            modalResult = kResultCancel;
            break;
        }
    }
    return modalResult;
}

TNVAssistantDefinition ParseAssistantDefinition(std::string_view value) {
    TNVAssistantDefinition def;
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t bar = value.find('|', start);
        parts.emplace_back(value.substr(start, bar == value.npos ? value.npos : bar - start));
        if (bar == value.npos) break;
        start = bar + 1;
    }
    def.name = parts[0];
    if (parts.size() > 1) def.title = parts[1];
    for (size_t i = 2; i < parts.size(); ++i)
        if (!parts[i].empty()) def.forms.push_back(parts[i]);
    return def;
}

std::optional<TNVAssistantDefinition> FindAssistantDefinition(const IQXSettings& settings,
                                                              std::string_view name,
                                                              bool screenshotAvailable) {
    for (int n = 1;; ++n) {
        const std::string value = settings.GetPropStr("Assistant" + std::to_string(n));
        if (value.empty()) return std::nullopt;
        TNVAssistantDefinition def = ParseAssistantDefinition(value);
        if (!SameText(def.name, name)) continue;
        if (!screenshotAvailable)
            std::erase_if(def.forms,
                          [](const std::string& f) { return SameText(f, "ScrShotForm"); });
        return def;
    }
}

} // namespace qix
