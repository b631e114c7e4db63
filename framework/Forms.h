#pragma once
// Forms and the application object with its message loop.
#include "framework/Controls.h"

#include <functional>
#include <stdexcept>
#include <string>

namespace fw {

enum class TCloseAction { caNone, caHide, caFree, caMinimize };

class TForm : public TWinControl {
public:
    explicit TForm(TComponent* owner);
    ~TForm() override;

    std::string Caption() const { return Text(); }
    void SetCaption(const std::string& caption) { SetText(caption); }
    void SetClientSize(int width, int height);
    int ClientWidth();
    int ClientHeight();

    void Show();
    void Hide();
    void Close();
    void BringToFront();

    // Runs OnCreate; an error there goes to the application's exception handling.
    virtual void AfterConstruction();

    TNotifyEvent OnCreate;
    TNotifyEvent OnDestroy;
    std::function<void(TComponent*, TCloseAction&)> OnClose;
    std::function<void(TComponent*, bool&)> OnCloseQuery;

    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

protected:
    void CreateParams(TCreateParams& params) override;
    HWND ParentHandleForCreate() override;
    bool toolWindow_ = true;
};

class TApplication : public TComponent {
public:
    TApplication();
    ~TApplication() override;

    void Initialize();
    const std::string& Title() const { return title_; }
    void SetTitle(const std::string& title);
    bool ShowMainForm = true;
    TForm* MainForm() const { return mainForm_; }
    HWND Handle() const { return handle_; }
    HICON Icon() const { return icon_; }
    HFONT DefaultFont() const { return font_; }

    template <typename T> T* CreateForm() {
        T* form = new T(this);
        if (!mainForm_) mainForm_ = form;
        form->AfterConstruction();
        return form;
    }

    void Run();
    void Terminate();
    bool Terminated() const { return terminated_; }
    void ProcessMessages();
    void Restore();
    void BringToFront();

    void HandleException(const std::exception& e);
    // Replaces the message box of HandleException when set.
    std::function<void(const std::string& message)> OnException;

    void Beep();
    // Replaces the platform's beep when set.
    std::function<void()> OnBeep;

    // The framework's simple message box, captioned with the title.
    void ShowMessage(const std::string& text);

    void FormDestroyed(TForm* form);

private:
    bool ProcessMessage();
    void Deliver(MSG& msg);
    std::string title_;
    HWND handle_ = nullptr;
    HICON icon_ = nullptr;
    HFONT font_ = nullptr;
    TForm* mainForm_ = nullptr;
    bool terminated_ = false;
};

// The process's one application object.
extern TApplication* Application;

// Runs an event handler on the window thread; an error goes to the application's
// exception handling instead of unwinding through the window system.
template <typename F> void Dispatch(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        if (Application) Application->HandleException(e);
    }
}

} // namespace fw
