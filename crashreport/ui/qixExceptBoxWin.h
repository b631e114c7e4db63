// The box window's class, shared by its window, tab and action files.
#pragma once

#include "crashreport/ui/qixExceptBox.h"
#include "crashreport/ui/qixExceptBox_Text.h"

#include <windows.h>

#include <commctrl.h>

#include <array>
#include <string>
#include <vector>

namespace qix {

// Turns a method into a plain window procedure: the stub replaces the window handle
// argument with the object (x86); elsewhere a window property carries the object.
class TProcThunk {
public:
    using TTarget = LRESULT(CALLBACK*)(HWND, UINT, WPARAM, LPARAM);
    TProcThunk(void* object, TTarget target);
    ~TProcThunk();
    TProcThunk(const TProcThunk&) = delete;
    TProcThunk& operator=(const TProcThunk&) = delete;
    WNDPROC Proc() const { return reinterpret_cast<WNDPROC>(code_); }

private:
    void* code_ = nullptr;
};

class TExceptionBox {
public:
    TExceptionBox(IQXException& exception, bool beep, bool details, bool messageBoxMode);
    ~TExceptionBox();
    TExceptionBox(const TExceptionBox&) = delete;
    TExceptionBox& operator=(const TExceptionBox&) = delete;

    void RunModal();
    bool Reshow() const { return reshow_; }
    bool SaveRemoved() const { return saveRemoved_; }

private:
    static LRESULT CALLBACK MainEntry(HWND self, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK TabEntry(HWND self, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT TabProc(UINT message, WPARAM wParam, LPARAM lParam);

    void Layout(bool details);
    SIZE TextSize(const std::string& text, int wrapWidth);
    HWND CreateButton(int code, int x, int y, int width, bool isDefault);
    void DrawButton(const DRAWITEMSTRUCT& item);
    void DrawIconGlyph(const DRAWITEMSTRUCT& item);
    void DrawListItem(const DRAWITEMSTRUCT& item);
    void Paint();
    void StopCountdown();
    void OnTimer();
    void OnCommand(HWND button);
    void OnCloseRequest();
    void OnSize(int width, int height);
    void Press(int code);
    bool FireHandlers(int code);
    bool RunActionAssistant(int code);

    // Tabs (qixExceptBox_TabsWin.cpp).
    void CreateTabs(int x, int y, int width, int height);
    void RefreshTabs();
    void ShowTab(int index);
    void FillContent(const TBoxTable& table, TContentFont font, const std::string& text);
    std::vector<std::string> SectionNames();
    std::string TabContent(int index, std::string& sectionName);

    bool Visible(int code) const;
    std::string Caption(int code) const;
    bool Automatic(int32_t value) const;

    TProcThunk mainThunk_;
    TProcThunk tabThunk_;
    HDC tempDc_ = nullptr;
    HBITMAP tempBitmap_ = nullptr;
    HFONT font1_ = nullptr, font2_ = nullptr, font3_ = nullptr, boldFont_ = nullptr;
    int tempWidth_ = 0;
    void* tempBits_ = nullptr;
    HGDIOBJ oldBitmap_ = nullptr, oldFont_ = nullptr;
    HWND window_ = nullptr;
    HWND tabs_ = nullptr;
    HWND content_ = nullptr;
    std::array<HWND, 7> buttons_{};
    HWND timerButton_ = nullptr;
    HWND focusAtStart_ = nullptr;
    bool messageBoxMode_ = false;
    bool reshow_ = false;
    bool saveRemoved_ = false;
    bool flat_ = true;
    int buttonHeight_ = 22;
    DWORD timerStart_ = 0;
    UINT_PTR timerId_ = 0;
    int lastProgressX_ = -1;
    HWND iconWindow_ = nullptr;
    IQXException& exception_;
    int minWidth_ = 0, minHeight_ = 0;
    bool layoutDone_ = false;
    HIMAGELIST imageList_ = nullptr;
    WNDPROC oldTabProc_ = nullptr;
    int currentTab_ = -1;
    std::string currentContent_;
    std::vector<TBoxColumn> columns_;
    std::vector<TBoxItem> items_;
    bool shuttingDown_ = false;
    bool labelHovered_ = false;
    int labelX_ = 0, labelY_ = 0, labelWidth_ = 0;
    int clientWidth_ = 0, clientHeight_ = 0;
    bool expanded_ = false;
    bool details_ = false;
};

// Sending (0) and printing (2) through their seams.
void RunDeliverySeam(int code, IQXException& exception, uintptr_t owner);
// The real send and print seams and the pipeline's automatic save and send.
void InstallDeliveryRoutines();

// Window property naming the box on a window (used where no stub exists).
inline constexpr const char* kBoxProperty = "qixExceptBox";
inline constexpr UINT kReportChangedMessage = 1801;
inline constexpr UINT_PTR kCountdownTimer = 777;
inline constexpr int kButtonIdBase = 100;

} // namespace qix
