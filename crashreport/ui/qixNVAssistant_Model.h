// The classes behind the assistant interfaces, apart from the window system: items with
// their properties, forms with their item ring, validation and layout, assistants with
// their definitions, and the hand-over of the values to the exception.
#pragma once

#include "crashreport/ui/qixNVAssistant.h"
#include "crashreport/ui/qixNVAssistant_Stream.h"

#include <optional>
#include <span>
#include <vector>

namespace qix {

class TNVForm;
class TNVItem;
class TNVAssistant;

enum class TNVItemKind : uint8_t { Button, Label, Edit, CheckBox, Image };

struct TNVRect {
    int32_t x = 0, y = 0, width = 0, height = 0;
};

// The window side of a shown form: model changes are pushed through it.
class INVFormView {
public:
    virtual ~INVFormView() = default;
    virtual void ItemChanged(TNVItem& item) = 0; // text, check, enabled or validity
    virtual void FocusItem(TNVItem& item) = 0;
};

// True for "yes", "true" (any case) and "1".
bool ParseNVBool(std::string_view text);

class INVItemEx : public virtual INVItem {
public:
    virtual TNVItemKind Kind() const = 0;
    // False for names this kind does not know (they are ignored).
    virtual bool SetProperty(std::string_view name, std::string_view value) = 0;
};

class TNVItem : public virtual INVItemEx {
public:
    TNVItem(TNVForm* form, std::string name) : form_(form), name_(std::move(name)) {}

    std::string Name() const override { return name_; }
    TWindowHandle Handle() const override { return handle; }
    bool Enabled() const override { return enabled; }
    void SetEnabled(bool value) override;
    void Focus() override;
    std::string Caption() const override { return caption; }
    void SetCaption(std::string_view value) override;
    TNVOutputType OutputType() const override { return outputType; }
    std::string OutputName() const override { return outputName; }
    bool SetProperty(std::string_view name, std::string_view value) override;

    // Enabled and not held back by the form.
    bool Usable() const { return enabled && !forceDisabled; }
    // Takes focus with Tab: enabled, a tab stop, and (buttons) visible.
    virtual bool Focusable() const { return Usable() && tabStop && handle; }
    TNVForm& Form() const { return *form_; }

    int index = 0;
    TNVRect rect;
    TWindowHandle handle = nullptr;
    bool tabStop = true;
    bool enabled = true;
    bool forceDisabled = false;
    std::optional<int32_t> spacing;
    TNVOutputType outputType = TNVOutputType::Field;
    std::string outputName;
    std::string caption;
    TNVItem* prev = nullptr;
    TNVItem* next = nullptr;

protected:
    void Changed();

private:
    TNVForm* form_;
    std::string name_;
};

class TNVButton final : public TNVItem, public INVButton {
public:
    using TNVItem::TNVItem;
    TNVItemKind Kind() const override { return TNVItemKind::Button; }
    bool SetProperty(std::string_view name, std::string_view value) override;
    bool Focusable() const override { return visible && TNVItem::Focusable(); }
    int32_t minWidth = 0;
    bool noOwnerDraw = false;
    bool visible = true;
};

class TNVLabel final : public TNVItem, public INVLabel {
public:
    TNVLabel(TNVForm* form, std::string name) : TNVItem(form, std::move(name)) { tabStop = false; }
    TNVItemKind Kind() const override { return TNVItemKind::Label; }
    bool SetProperty(std::string_view name, std::string_view value) override;
    bool Focusable() const override { return false; }
    // One line ending in ":" or "?": set by the layout.
    bool heading = false;
};

class TNVEdit final : public TNVItem, public INVEdit {
public:
    using TNVItem::TNVItem;
    TNVItemKind Kind() const override { return TNVItemKind::Edit; }
    bool SetProperty(std::string_view name, std::string_view value) override;
    bool Valid() const override { return valid; }
    void SetValid(bool value) override;
    bool MultiLine() const { return lines > 1; }
    // Holds the continue button back: required and empty or invalid.
    bool Refuses() const { return !optional && (caption.empty() || !valid); }
    int32_t lines = 1;
    bool optional = false;
    bool colored = true;
    bool valid = true;
};

class TNVCheckBox final : public TNVItem, public INVCheckBox {
public:
    using TNVItem::TNVItem;
    TNVItemKind Kind() const override { return TNVItemKind::CheckBox; }
    bool SetProperty(std::string_view name, std::string_view value) override;
    bool Checked() const override { return checked; }
    void SetChecked(bool value) override;
    bool checked = false;
};

class TNVImage final : public TNVItem, public INVImage {
public:
    TNVImage(TNVForm* form, std::string name) : TNVItem(form, std::move(name)) { tabStop = false; }
    TNVItemKind Kind() const override { return TNVItemKind::Image; }
    bool SetProperty(std::string_view name, std::string_view value) override;
    PNVBitmap Bitmap() const override { return bitmap; }
    void SetBitmap(PNVBitmap value) override;
    bool Focusable() const override { return false; }
    // The bitmap to show: the file when none is set.
    PNVBitmap Source();
    int32_t width = 0, height = 0;
    std::string file;
    bool clickable = false;
    bool border = false;
    PNVBitmap bitmap;
    PNVBitmap shown; // the scaled copy the layout made
};

// Item indexes of the standard buttons.
constexpr int kContinueIndex = 0, kSkipIndex = 1, kCancelIndex = 2;

class TNVForm final : public INVForm {
public:
    TNVForm(TNVAssistant* assistant, std::string name);
    ~TNVForm() override;

    std::string Name() const override { return name_; }
    std::string Title() const override { return title; }
    std::string Message() const override { return message; }
    void SetMessage(std::string_view value) override { message = value; }
    std::shared_ptr<INVButton> ContinueButton() override { return StdButton(kContinueIndex); }
    std::shared_ptr<INVButton> SkipButton() override { return StdButton(kSkipIndex); }
    std::shared_ptr<INVButton> CancelButton() override { return StdButton(kCancelIndex); }
    std::string ActiveControl() const override { return activeControl; }
    void SetActiveControl(std::string_view name) override { activeControl = name; }
    int ItemCount() const override { return static_cast<int>(items.size()); }
    std::shared_ptr<INVItem> Item(int index) override;
    std::shared_ptr<INVEdit> Edit(std::string_view name) override { return Typed<INVEdit>(name); }
    std::shared_ptr<INVLabel> Label(std::string_view name) override {
        return Typed<INVLabel>(name);
    }
    std::shared_ptr<INVButton> Button(std::string_view name) override {
        return Typed<INVButton>(name);
    }
    std::shared_ptr<INVCheckBox> CheckBox(std::string_view name) override {
        return Typed<INVCheckBox>(name);
    }
    std::shared_ptr<INVImage> Image(std::string_view name) override {
        return Typed<INVImage>(name);
    }
    IQXException* Exception() const override { return exception; }
    void SetException(IQXException* value) override { exception = value; }
    void* UserData() const override { return userData; }
    void SetUserData(void* value) override { userData = value; }
    uint8_t ModalResult() const override { return modalResult; }
    uint8_t ShowModal(TWindowHandle owner) override;
    PNVBitmap Screenshot() const override;
    void SetScreenshot(PNVBitmap value) override;

    // Builds the items from a description; the message of a damaged one is returned
    // (empty when there is none) and what was read before the damage is kept.
    std::string Convert(std::span<const uint8_t> stream);
    void Apply(const TNVStreamObject& object);
    // Links the ring and fires "created".
    void Created();
    // Form handler first, then the assistant's.
    void Fire(int action, TNVItem* item);
    TNVItem* FindItem(std::string_view name) const;
    bool CanContinue() const;
    // Re-evaluates the continue button; true when its state changed.
    bool UpdateContinue();
    // Tab order: the next or previous focusable item along the ring, or null.
    TNVItem* NextFocusable(TNVItem* from, bool backwards) const;
    // ActiveControl when it can take focus, else the first focusable item after cancel.
    TNVItem* FirstFocus() const;
    // Keeps the edit texts of a closing form and marks it finished.
    void Close(uint8_t result);
    TNVAssistant* Assistant() const { return assistant_; }

    std::string title;
    IQXException* exception = nullptr;
    int formNumber = 1, formCount = 1;
    std::vector<std::shared_ptr<TNVItem>> items;
    std::string message;
    std::string activeControl;
    int32_t timerInterval = 0;
    int32_t minWidth = 0;
    TNVFormHandler handler;
    std::string handlerName; // as the description names it
    TWindowHandle window = nullptr;
    int32_t width = 0, height = 0;
    uint8_t modalResult = kResultNone;
    bool finished = false;
    void* userData = nullptr;
    INVFormView* view = nullptr;

private:
    std::shared_ptr<INVButton> StdButton(int index);
    template <typename T> std::shared_ptr<T> Typed(std::string_view name) {
        auto* item = FindItem(name);
        for (const auto& i : items)
            if (i.get() == item) return std::dynamic_pointer_cast<T>(i);
        return nullptr;
    }
    void ApplyFormProperty(std::string_view name, std::string_view value);
    void ApplyChild(const TNVStreamObject& object);

    TNVAssistant* assistant_;
    std::string name_;
};

class TNVAssistant final : public INVAssistant {
public:
    explicit TNVAssistant(std::string title) : title_(std::move(title)) {}
    std::string Title() const override { return title_; }
    int FormCount() const override { return static_cast<int>(forms.size()); }
    std::shared_ptr<INVForm> Form(int index) override;
    std::shared_ptr<INVForm> Form(std::string_view name) override;
    uint8_t ShowModal(TWindowHandle owner) override;
    uint8_t ModalResult() const override { return modalResult; }
    IQXException* Exception() const override { return exception_; }
    void SetException(IQXException* value) override;
    PNVBitmap Screenshot() const override { return screenshot_; }
    void SetScreenshot(PNVBitmap value) override { screenshot_ = std::move(value); }
    void SetActionHandler(TNVFormHandler value) override { handler = std::move(value); }

    // Adds a form built from its description (an empty stream: only the three buttons)
    // and numbers every form for the step indicator.
    std::shared_ptr<TNVForm> AppendForm(std::string_view name, std::span<const uint8_t> stream,
                                        std::string* problem = nullptr);

    std::vector<std::shared_ptr<TNVForm>> forms;
    TNVFormHandler handler;
    uint8_t modalResult = kResultNone;

private:
    std::string title_;
    IQXException* exception_ = nullptr;
    PNVBitmap screenshot_;
};

// One "Assistant<n>" setting: name, title, then the form names.
struct TNVAssistantDefinition {
    std::string name, title;
    std::vector<std::string> forms;
};
TNVAssistantDefinition ParseAssistantDefinition(std::string_view value);
// Reads Assistant1, Assistant2, ... up to the first empty one and picks the definition
// whose name matches (any case). "ScrShotForm" is dropped when there is no screenshot.
std::optional<TNVAssistantDefinition> FindAssistantDefinition(const IQXSettings& settings,
                                                              std::string_view name,
                                                              bool screenshotAvailable);

// The values of every form closed with continue, as fields and own sections of the
// exception; call after a run that ended with continue.
void TransferToException(const TNVAssistant& assistant, IQXException& exception);

// Edit texts and check states by item name, to fill the forms again next time.
void StoreFormValues(const TNVAssistant& assistant, IQXFields& cache);
void RestoreFormValues(TNVAssistant& assistant, const IQXFields& cache);

// Resource name of a form's description: "TQX" and the name in upper case.
std::string FormResourceName(std::string_view formName);

// Window side: shows the form and runs its modal loop (no window system: cancel).
uint8_t ShowFormWindow(TNVForm& form, TWindowHandle owner);
// Window side: keeps the owner disabled while the object lives.
std::shared_ptr<void> HoldOwnerDisabled(TWindowHandle owner);

} // namespace qix
