// Assistants: titled sequences of small forms that ask the user for contact details, a
// description or a screenshot decision before the report goes out. Forms are described
// as object streams in the settings module's resources; callers see only the interfaces.
#pragma once

#include "crashreport/support/qixNVBitmap.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace qix {

class IQXException;
class IQXSettings;
class IQXFields;
class INVForm;
class INVItem;

// What a form handler is told.
enum TFormActionCode : int { kFormCreated = 0, kFormShown = 1, kFormClosed = 2, kItemEvent = 3 };

// Modal results of a form and of an assistant run.
enum TNVModalResult : uint8_t {
    kResultNone = 0,
    kResultContinue = 1,
    kResultSkip = 2,
    kResultCancel = 3
};

// (form, action, item or null, exception or null). The form's handler runs before the
// assistant's.
using TNVFormHandler = std::function<void(INVForm&, int, INVItem*, IQXException*)>;

using TWindowHandle = void*; // an HWND on Windows

// The calling convention of a procedure that a form description names as its handler:
// form, action and item in registers, the exception on the stack, removed by the callee.
#if defined(__i386__)
#define QIX_FORM_HANDLER __attribute__((regparm(3), stdcall))
#else
#define QIX_FORM_HANDLER
#endif

enum class TNVOutputType : uint8_t { Field, OwnSection };

class INVItem {
public:
    virtual ~INVItem() = default;
    virtual std::string Name() const = 0;
    virtual TWindowHandle Handle() const = 0;
    virtual bool Enabled() const = 0;
    virtual void SetEnabled(bool value) = 0;
    virtual void Focus() = 0;
    // The caption, or the text of an edit.
    virtual std::string Caption() const = 0;
    virtual void SetCaption(std::string_view value) = 0;
    virtual TNVOutputType OutputType() const = 0;
    virtual std::string OutputName() const = 0;
};

class INVButton : public virtual INVItem {};
class INVLabel : public virtual INVItem {};

class INVEdit : public virtual INVItem {
public:
    std::string Text() const { return Caption(); }
    void SetText(std::string_view value) { SetCaption(value); }
    virtual bool Valid() const = 0;
    virtual void SetValid(bool value) = 0;
};

class INVCheckBox : public virtual INVItem {
public:
    virtual bool Checked() const = 0;
    virtual void SetChecked(bool value) = 0;
};

class INVImage : public virtual INVItem {
public:
    virtual PNVBitmap Bitmap() const = 0;
    virtual void SetBitmap(PNVBitmap value) = 0;
};

class INVForm {
public:
    virtual ~INVForm() = default;
    virtual std::string Name() const = 0;
    virtual std::string Title() const = 0;
    virtual std::string Message() const = 0;
    virtual void SetMessage(std::string_view value) = 0;
    virtual std::shared_ptr<INVButton> ContinueButton() = 0;
    virtual std::shared_ptr<INVButton> SkipButton() = 0;
    virtual std::shared_ptr<INVButton> CancelButton() = 0;
    virtual std::string ActiveControl() const = 0;
    virtual void SetActiveControl(std::string_view name) = 0;
    virtual int ItemCount() const = 0;
    virtual std::shared_ptr<INVItem> Item(int index) = 0;
    // Null when the name is unknown or the item is of another kind.
    virtual std::shared_ptr<INVEdit> Edit(std::string_view name) = 0;
    virtual std::shared_ptr<INVLabel> Label(std::string_view name) = 0;
    virtual std::shared_ptr<INVButton> Button(std::string_view name) = 0;
    virtual std::shared_ptr<INVCheckBox> CheckBox(std::string_view name) = 0;
    virtual std::shared_ptr<INVImage> Image(std::string_view name) = 0;
    virtual IQXException* Exception() const = 0;
    virtual void SetException(IQXException* value) = 0;
    // Handler-owned data; the handler frees it when the form closes.
    virtual void* UserData() const = 0;
    virtual void SetUserData(void* value) = 0;
    virtual uint8_t ModalResult() const = 0;
    virtual uint8_t ShowModal(TWindowHandle owner) = 0;
    // The screenshot the assistant offers (the screenshot form shows and replaces it).
    virtual PNVBitmap Screenshot() const = 0;
    virtual void SetScreenshot(PNVBitmap value) = 0;
};

class INVAssistant {
public:
    virtual ~INVAssistant() = default;
    virtual std::string Title() const = 0;
    virtual int FormCount() const = 0;
    virtual std::shared_ptr<INVForm> Form(int index) = 0;
    virtual std::shared_ptr<INVForm> Form(std::string_view name) = 0;
    virtual uint8_t ShowModal(TWindowHandle owner) = 0;
    virtual uint8_t ModalResult() const = 0;
    virtual IQXException* Exception() const = 0;
    virtual void SetException(IQXException* value) = 0;
    virtual PNVBitmap Screenshot() const = 0;
    virtual void SetScreenshot(PNVBitmap value) = 0;
    virtual void SetActionHandler(TNVFormHandler handler) = 0;
};
using PNVAssistant = std::shared_ptr<INVAssistant>;

// A plausible e-mail address: one "@" not in front, a "." somewhere after it but not
// right after it, no dot at either end, otherwise only ASCII letters, digits, + - _.
bool CheckMailAddress(std::string_view text);

// ---- Windows only

// Called for every assistant LoadAssistant creates (none by default).
using TAssistantCreatedHook = void (*)(INVAssistant& assistant, IQXSettings& settings);
void SetAssistantCreatedHook(TAssistantCreatedHook hook);

// The assistant of that name from the "Assistant<n>" settings, its forms read from the
// settings module's resources; null when no definition has the name. Without a
// screenshot the form "ScrShotForm" is left out.
PNVAssistant LoadAssistant(IQXSettings& settings, std::string_view name,
                           PNVBitmap screenshot = nullptr);

// Loads, shows (owned by `owner`, which may be null) and, when it ends with continue,
// hands the values to the exception and keeps them in the settings' form cache.
// Returns the run's modal result (1 continue, 3 cancel), or 0 when there is no such
// assistant. The screenshot form shows `screenshot` and may replace it: read it back
// from `screenshotOut` when given.
uint8_t RunAssistant(IQXSettings& settings, std::string_view name, TWindowHandle owner,
                     IQXException& exception, PNVBitmap screenshot = nullptr,
                     PNVBitmap* screenshotOut = nullptr);

} // namespace qix
