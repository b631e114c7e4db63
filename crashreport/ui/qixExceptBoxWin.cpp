// The exception box window: layout, owner-drawn buttons painted off-screen, the
// countdown of the automatic button, keyboard handling and the box's own modal loop.
#include "crashreport/ui/qixExceptBoxWin.h"

#include "crashreport/core/qixExcept_Pipeline.h"
#include "crashreport/ui/qixNVAssistant.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>

namespace qix {
namespace {

constexpr const char* kClassName = "qixExceptWndClass";
constexpr const char* kActionWords[9] = {"send",    "save",  "print",        "show", "continue",
                                         "restart", "close", "cantContinue", "big"};
// Captions are built without the glyph's own margin: 39 pixels of glyph and padding.
constexpr int kMinClientWidth = 664;
constexpr COLORREF kHoverColour = RGB(128, 0, 144);

TBoxShowHook g_showHook = nullptr;

std::string BaseName(HMODULE module) {
    char path[MAX_PATH + 1] = {};
    GetModuleFileNameA(module, path, MAX_PATH);
    std::string name = path;
    name = name.substr(name.find_last_of("\\/") + 1);
    return name.substr(0, name.rfind('.'));
}

// A glyph resource: 40-byte header plus size x size pixels with alpha.
std::vector<uint32_t> LoadGlyph(HMODULE module, int code, int size) {
    const std::string name = std::string("QXI") + kActionWords[code];
    HRSRC info = FindResourceA(module, name.c_str(), MAKEINTRESOURCEA(2)); // RT_BITMAP
    if (!info || SizeofResource(module, info) != 40u + size * size * 4u) return {};
    HGLOBAL data = LoadResource(module, info);
    const auto* bytes = static_cast<const uint8_t*>(data ? LockResource(data) : nullptr);
    if (!bytes) return {};
    std::vector<uint32_t> pixels(size * size);
    std::memcpy(pixels.data(), bytes + 40, pixels.size() * 4);
    return pixels;
}

uint8_t Channel(COLORREF c, int shift) {
    return static_cast<uint8_t>((c >> shift) & 0xFF);
}

COLORREF Blend(COLORREF a, COLORREF b, int weightB, int total) {
    auto mix = [&](int s) {
        return (Channel(a, s) * (total - weightB) + Channel(b, s) * weightB) / total;
    };
    return RGB(mix(0), mix(8), mix(16));
}

// The light face: lightened by `amount`, or darkened when two channels would overflow.
COLORREF LightFace(COLORREF face, int amount) {
    int over = 0;
    for (int s : {0, 8, 16})
        over += Channel(face, s) + amount > 255;
    auto step = [&](int s) {
        const int v = Channel(face, s) + (over >= 2 ? -amount : amount);
        return std::clamp(v, 0, 255);
    };
    return RGB(step(0), step(8), step(16));
}

// Draws a glyph with alpha: weight a + 1 of 256.
void BlendGlyph(HDC dc, int x0, int y0, const std::vector<uint32_t>& glyph, int size,
                COLORREF face) {
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const uint32_t p = glyph[(size - 1 - y) * size + x]; // bottom-up rows
            const int a = static_cast<int>(p >> 24) + 1;
            const COLORREF src = RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
            if (a > 1) SetPixel(dc, x0 + x, y0 + y, Blend(face, src, a, 256));
        }
}

} // namespace

// ---- thunk ----

TProcThunk::TProcThunk(void* object, TTarget target) {
#if defined(__i386__)
    auto* code = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, 16, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    if (!code) return;
    code[0] = 0xC7; // mov dword [esp+4], object
    code[1] = 0x44;
    code[2] = 0x24;
    code[3] = 0x04;
    std::memcpy(code + 4, &object, 4);
    code[8] = 0xE9; // jmp target
    const int32_t rel = static_cast<int32_t>(reinterpret_cast<intptr_t>(target) -
                                             reinterpret_cast<intptr_t>(code + 13));
    std::memcpy(code + 9, &rel, 4);
    FlushInstructionCache(GetCurrentProcess(), code, 16);
    code_ = code;
#else
    (void)object;
    code_ = reinterpret_cast<void*>(target);
#endif
}

TProcThunk::~TProcThunk() {
#if defined(__i386__)
    if (code_) VirtualFree(code_, 0, MEM_RELEASE);
#endif
}

namespace {
template <typename T> T* ObjectOf(HWND self) {
#if defined(__i386__)
    return reinterpret_cast<T*>(self);
#else
    return static_cast<T*>(GetPropA(self, kBoxProperty));
#endif
}
} // namespace

LRESULT CALLBACK TExceptionBox::MainEntry(HWND self, UINT m, WPARAM w, LPARAM l) {
    return ObjectOf<TExceptionBox>(self)->WindowProc(m, w, l);
}
LRESULT CALLBACK TExceptionBox::TabEntry(HWND self, UINT m, WPARAM w, LPARAM l) {
    return ObjectOf<TExceptionBox>(self)->TabProc(m, w, l);
}

// ---- construction ----

TExceptionBox::TExceptionBox(IQXException& exception, bool beep, bool details, bool messageBoxMode)
    : mainThunk_(this, &MainEntry), tabThunk_(this, &TabEntry), messageBoxMode_(messageBoxMode),
      exception_(exception) {
    expanded_ = !messageBoxMode && exception.AutoShowBugRep();
    if (!messageBoxMode && exception.AutoShowBugRep()) (void)exception.SetShowBtnVis(false);
    flat_ = !exception.UglyBtns();
    buttonHeight_ = messageBoxMode ? 23 : flat_ ? 22 : 26;
    imageList_ = ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 1, 1);

    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    RegisterClassA(&wc); // fails harmlessly when registered before

    DWORD style = WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
    if (expanded_) style |= WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
    window_ = CreateWindowExA(WS_EX_DLGMODALFRAME | WS_EX_TOPMOST, kClassName, "", style, 100, 100,
                              0, 0, nullptr, nullptr, wc.hInstance, nullptr);
    if (!window_) return;
    if (!expanded_) {
        HMENU menu = GetSystemMenu(window_, FALSE);
        for (UINT item : {SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE})
            DeleteMenu(menu, item, MF_BYCOMMAND);
    }
#if !defined(__i386__)
    SetPropA(window_, kBoxProperty, this);
#endif
    SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(mainThunk_.Proc()));

    font1_ = CreateFontA(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "Tahoma");
    if (!font1_)
        font1_ = CreateFontA(-12, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0,
                             "MS Sans Serif");
    font2_ = CreateFontA(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, FIXED_PITCH,
                         "Courier New");
    font3_ =
        CreateFontA(-8, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "Small Fonts");
    tempDc_ = CreateCompatibleDC(nullptr);
    SetBkMode(tempDc_, TRANSPARENT);
    oldFont_ = SelectObject(tempDc_, font1_);

    Layout(details);

    const int32_t delay = exception.AutoDelay();
    if (!messageBoxMode_) {
        const bool closeAuto = Automatic(exception.AutoClose()) && buttons_[6];
        const bool restartAuto = Automatic(exception.AutoRestart()) && buttons_[5];
        if (closeAuto)
            timerButton_ = buttons_[6];
        else if (restartAuto)
            timerButton_ = buttons_[5];
        else if (exception.AutoContinue() && buttons_[4] && exception.Continuable())
            timerButton_ = buttons_[4];
        if (timerButton_ && delay > 0) {
            timerStart_ = GetTickCount();
            if (!timerStart_) timerStart_ = 1;
            timerId_ = SetTimer(window_, kCountdownTimer, 10, nullptr);
        }
    }
    if (g_showHook) g_showHook(reinterpret_cast<uintptr_t>(window_), messageBoxMode_);
    if (beep) MessageBeep(MB_ICONHAND);
    ShowWindow(window_, SW_SHOW);
    if (IsIconic(window_)) ShowWindow(window_, SW_RESTORE);
    BringWindowToTop(window_);
    SetForegroundWindow(window_);
    focusAtStart_ = GetFocus();
    // A frozen main thread that answers again closes the box through the watchdog.
    if (exception.ReportKind() == TReportKind::Freeze)
        NotifyWatchdogOfBox(reinterpret_cast<uintptr_t>(window_));
    HWND target = window_;
    exception.AddReportListener(
        this,
        [target](bool, const std::string&, TQXReport&) {
            PostMessageA(target, kReportChangedMessage, 1357, 2468);
        },
        false);
}

TExceptionBox::~TExceptionBox() {
    exception_.RemoveReportListener(this);
    shuttingDown_ = true;
    if (window_ && IsWindow(window_)) DestroyWindow(window_);
    if (tempDc_) {
        SelectObject(tempDc_, oldFont_);
        if (oldBitmap_) SelectObject(tempDc_, oldBitmap_);
        DeleteDC(tempDc_);
    }
    if (tempBitmap_) DeleteObject(tempBitmap_);
    for (HFONT f : {font1_, font2_, font3_, boldFont_})
        if (f) DeleteObject(f);
    if (imageList_) ImageList_Destroy(imageList_);
}

bool TExceptionBox::Automatic(int32_t value) const {
    return value == 1 || (value > 1 && AutoRuleMet(value));
}

bool TExceptionBox::Visible(int code) const {
    IQXException& e = exception_;
    if (messageBoxMode_) return code == 4 || (code == 3 && details_);
    switch (code) {
    case 0:
        return e.SendBtnVis();
    case 1:
        return e.SaveBtnVis();
    case 2:
        return e.PrintBtnVis();
    case 3:
        return e.ShowBtnVis();
    case 4:
        return e.ContinueBtnVis();
    case 5:
        return e.RestartBtnVis();
    default:
        return e.CloseBtnVis();
    }
}

std::string TExceptionBox::Caption(int code) const {
    IQXException& e = exception_;
    switch (code) {
    case 0:
        return e.SendBtnTxt();
    case 1:
        return e.SaveBtnTxt();
    case 2:
        return e.PrintBtnTxt();
    case 3:
        return messageBoxMode_ ? e.DetailsBtnTxt() : e.ShowBtnTxt();
    case 4:
        return messageBoxMode_ ? e.OkBtnTxt() : e.ContinueBtnTxt();
    case 5:
        return e.RestartBtnTxt();
    default:
        return e.CloseBtnTxt();
    }
}

SIZE TExceptionBox::TextSize(const std::string& text, int wrapWidth) {
    RECT r{0, 0, wrapWidth, 0};
    DrawTextA(tempDc_, text.c_str(), static_cast<int>(text.size()), &r,
              DT_CALCRECT | DT_NOPREFIX | (wrapWidth > 0 ? DT_WORDBREAK : DT_SINGLELINE));
    return {r.right - r.left, r.bottom - r.top};
}

HWND TExceptionBox::CreateButton(int code, int x, int y, int width, bool isDefault) {
    DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
    style |= messageBoxMode_ ? (isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON) : BS_OWNERDRAW;
    const std::string caption = Caption(code).substr(0, 30);
    HWND button = CreateWindowExA(0, "Button", caption.c_str(), style, x, y, width, buttonHeight_,
                                  window_, reinterpret_cast<HMENU>(kButtonIdBase + code),
                                  GetModuleHandleA(nullptr), nullptr);
    SendMessageA(button, WM_SETFONT, reinterpret_cast<WPARAM>(font1_), 0);
    SetWindowLongPtrA(button, GWLP_USERDATA, code);
    buttons_[code] = button;
    return button;
}

// ---- layout ----

void TExceptionBox::Layout(bool details) {
    IQXException& e = exception_;
    details_ = messageBoxMode_ && details;
    const bool freeze = e.ReportKind() == TReportKind::Freeze;
    int focused = e.FocusedBtn();
    if (!messageBoxMode_) {
        if (Automatic(e.AutoClose()) && e.CloseBtnVis())
            focused = 6;
        else if (Automatic(e.AutoRestart()) && e.RestartBtnVis())
            focused = 5;
        else if (e.AutoContinue() && e.ContinueBtnVis() && e.Continuable())
            focused = 4;
    }
    const std::string message = BreakMessageLines(e.ObjectMessage());
    std::string text, title;
    if (messageBoxMode_) {
        text = freeze ? e.Expand(e.FrozenMsg(), message) : message;
        title = BaseName(nullptr);
    } else {
        text = e.Expand(freeze ? e.FrozenMsg() : e.ExceptMsg(), message);
        title = e.Expand(e.TitleBar(), e.ObjectMessage()); // one line in the caption
    }
    // The settings' line-break variable may already have been expanded; keep real breaks.
    for (size_t at = text.find("%LF%"); at != std::string::npos; at = text.find("%LF%", at))
        text.replace(at, 4, "\r\n");
    SetWindowTextA(window_, title.c_str());

    std::array<int, 7> width{};
    for (int code = 0; code < 7; ++code)
        width[code] = ButtonWidth(TextSize(Caption(code), 0).cx, Visible(code), messageBoxMode_);
    const int rightWidth = std::max({width[4], width[5], width[6]});
    tempWidth_ = std::max({width[0], width[1], width[2], width[3], rightWidth}) - 4;
    if (tempWidth_ > 0) {
        BITMAPINFO bi{};
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = tempWidth_;
        bi.bmiHeader.biHeight = buttonHeight_;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        tempBitmap_ = CreateDIBSection(tempDc_, &bi, DIB_RGB_COLORS, &tempBits_, nullptr, 0);
        if (tempBitmap_) oldBitmap_ = SelectObject(tempDc_, tempBitmap_);
    }
    int rightCount = (width[4] > 0) + (width[5] > 0) + (width[6] > 0);
    const bool anyLeft = width[0] || width[1] || width[2] || width[3];
    const bool column = !messageBoxMode_ && rightCount > 1 && anyLeft;
    const int rows = column ? rightCount : 1;

    int needed = 0, indent = 26;
    if (messageBoxMode_) {
        needed = width[4] + 26 + (details_ ? width[3] + 2 : 0);
    } else if (column) {
        needed = width[0] + width[1] + width[2] + width[3] + rightWidth + 14;
        indent = rightWidth + 40;
    } else {
        for (int w : width)
            needed += w;
        needed += 14;
    }
    HMODULE owner = reinterpret_cast<HMODULE>(e.OwnerModule());
    const std::vector<uint32_t> big = LoadGlyph(owner, 8, 32);
    if (!big.empty()) {
        indent += 40;
        iconWindow_ =
            CreateWindowExA(0, "Button", "", WS_CHILD | WS_VISIBLE | WS_DISABLED | BS_OWNERDRAW, 9,
                            10, 32, 32, window_, nullptr, GetModuleHandleA(nullptr), nullptr);
        SetWindowLongPtrA(iconWindow_, GWLP_USERDATA, 8);
    }
    const SIZE textSize = TextSize(text, std::max(needed, kMinClientWidth) - indent);
    clientWidth_ = std::max<int>(needed, textSize.cx + indent);
    if (expanded_)
        clientWidth_ = std::max(
            clientWidth_, std::min<int>(kMinClientWidth, GetSystemMetrics(SM_CXSCREEN) -
                                                             5 * GetSystemMetrics(SM_CYCAPTION)));
    // The row starts below the message (and below the icon beside it).
    int top = std::max<int>(12 + textSize.cy, big.empty() ? 0 : 42) + 10;
    if (column && rightCount == 3) top = std::max(7, top - (buttonHeight_ + 4));

    const int textX = big.empty() ? 11 : 51;
    const int textY = big.empty() ? 12 : 12 + std::max<int>(0, (26 - textSize.cy) / 2);
    HWND label = CreateWindowExA(0, "Static", text.c_str(), WS_CHILD | WS_VISIBLE | SS_NOPREFIX,
                                 textX, textY, textSize.cx + 2, textSize.cy, window_, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
    SendMessageA(label, WM_SETFONT, reinterpret_cast<WPARAM>(font1_), 0);

    const int rowStep = buttonHeight_ + 4;
    if (messageBoxMode_) {
        int x = (clientWidth_ + 4 - width[4] - (details_ ? width[3] + 2 : 0)) / 2 - 3;
        CreateButton(4, x, top, width[4] - 4, true);
        if (details_) CreateButton(3, x + width[4] + 2 - 4, top, width[3] - 4, false);
        focused = 4;
    } else {
        int x = 6;
        for (int code = 0; code < 4; ++code)
            if (width[code]) {
                CreateButton(code, x, top + (rows - 1) * rowStep, width[code] - 4, code == focused);
                x += width[code];
            }
        if (column) {
            int row = 0;
            for (int code : {4, 5, 6})
                if (width[code])
                    CreateButton(code, clientWidth_ - rightWidth - 8, top + rowStep * row++,
                                 rightWidth - 4, code == focused);
        } else {
            x = clientWidth_ - (width[4] + width[5] + width[6]) - 8;
            for (int code : {4, 5, 6})
                if (width[code]) {
                    CreateButton(code, x, top, width[code] - 4, code == focused);
                    x += width[code];
                }
        }
    }
    if (buttons_[4] && !exception_.Continuable() && (buttons_[5] || buttons_[6]) &&
        !messageBoxMode_) {
        EnableWindow(buttons_[4], FALSE);
        SetWindowLongPtrA(buttons_[4], GWLP_USERDATA, 7);
    }
    HWND focus = focused >= 0 && focused < 7 ? buttons_[focused] : nullptr;
    if (!focus || !IsWindowEnabled(focus))
        for (HWND b : buttons_)
            if (b && IsWindowEnabled(b)) {
                focus = b;
                break;
            }
    if (focus) SetFocus(focus);

    int height = messageBoxMode_ ? top + buttonHeight_ + 12 : rows * rowStep + top + 8;
    if (!messageBoxMode_ || details_) {
        labelY_ = height - 8 + 6;
        height += expanded_ ? 15 : 17;
    }
    const int screenCap = GetSystemMetrics(SM_CYSCREEN) - 5 * GetSystemMetrics(SM_CYCAPTION);
    if (expanded_) {
        const int top0 = height;
        height = std::min(height + 474, screenCap);
        CreateTabs(5, top0 - 4, clientWidth_ - 10, height - top0 - 2);
    }
    height = std::min(height, screenCap);
    clientHeight_ = height;
    RECT r{0, 0, clientWidth_, clientHeight_};
    AdjustWindowRectEx(&r, GetWindowLongA(window_, GWL_STYLE), FALSE,
                       GetWindowLongA(window_, GWL_EXSTYLE));
    const int w = r.right - r.left, h = r.bottom - r.top;
    SetWindowPos(window_, nullptr, (GetSystemMetrics(SM_CXSCREEN) - w) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - h) / 2, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
    minWidth_ = w;
    minHeight_ = h;
    layoutDone_ = true;
}

// ---- painting ----

void TExceptionBox::Paint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window_, &ps);
    if (labelY_ > 0) {
        const COLORREF from = GetSysColor(COLOR_BTNFACE), to = GetSysColor(COLOR_3DDKSHADOW);
        const int length = std::max(1, clientWidth_ - 6);
        for (int x = 0; x < length; ++x)
            SetPixel(dc, x, labelY_ + 5, Blend(from, to, x, length));
        static const char kCredit[] = "crash report";
        HGDIOBJ old = SelectObject(dc, font3_);
        SIZE size;
        GetTextExtentPoint32A(dc, kCredit, sizeof kCredit - 1, &size);
        labelWidth_ = size.cx;
        labelX_ = clientWidth_ - size.cx - 15;
        SetBkColor(dc, from);
        SetTextColor(dc, labelHovered_ ? kHoverColour : to);
        TextOutA(dc, labelX_, labelY_, kCredit, sizeof kCredit - 1);
        SelectObject(dc, old);
    }
    EndPaint(window_, &ps);
}

void TExceptionBox::DrawButton(const DRAWITEMSTRUCT& item) {
    if (!tempBitmap_) return;
    const int code = static_cast<int>(GetWindowLongPtrA(item.hwndItem, GWLP_USERDATA));
    const int width = item.rcItem.right - item.rcItem.left;
    const int height = item.rcItem.bottom - item.rcItem.top;
    const bool focused = item.itemState & ODS_FOCUS;
    const bool selected = item.itemState & ODS_SELECTED;
    const bool disabled = item.itemState & ODS_DISABLED;
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    const COLORREF dark = GetSysColor(COLOR_3DDKSHADOW);
    RECT r{0, 0, width, height};
    int inset = 0;
    COLORREF fill = face, text = RGB(0, 0, 0), line = dark;
    if (flat_) {
        fill = focused ? dark : LightFace(face, disabled ? 8 : 16);
        if (selected) fill = LightFace(face, 32);
        text = focused && !selected ? RGB(255, 255, 255) : RGB(0, 0, 0);
        line = focused ? RGB(255, 255, 255) : dark;
        HBRUSH brush = CreateSolidBrush(fill);
        FillRect(tempDc_, &r, brush);
        DeleteObject(brush);
    } else {
        inset = 2;
        FillRect(tempDc_, &r, GetSysColorBrush(COLOR_BTNFACE));
        DrawFrameControl(tempDc_, &r, DFC_BUTTON, DFCS_BUTTONPUSH | (selected ? DFCS_PUSHED : 0));
    }
    if (item.hwndItem == timerButton_ && timerStart_ && lastProgressX_ >= 0) {
        for (int d = -3; d <= 3; ++d) {
            const COLORREF c = Blend(line, fill, std::abs(d), 4);
            for (int y = 2 * inset; y < height - 2 * inset; ++y)
                SetPixel(tempDc_, lastProgressX_ + d, y, c);
        }
    }
    if (!flat_ && focused) {
        RECT f{3, 3, width - 3, height - 3};
        DrawFocusRect(tempDc_, &f);
    }
    const std::vector<uint32_t> glyph =
        LoadGlyph(reinterpret_cast<HMODULE>(exception_.OwnerModule()), code, 16);
    if (!glyph.empty()) BlendGlyph(tempDc_, inset + 3, inset + 3, glyph, 16, fill);
    char caption[32] = {};
    GetWindowTextA(item.hwndItem, caption, sizeof caption);
    SIZE size;
    GetTextExtentPoint32A(tempDc_, caption, static_cast<int>(std::strlen(caption)), &size);
    const int x = (width + 4 - size.cx - 35) / 2 + 27;
    const int y = (height - size.cy) / 2;
    if (disabled) {
        SetTextColor(tempDc_, RGB(255, 255, 255));
        TextOutA(tempDc_, x + 1, y + 1, caption, static_cast<int>(std::strlen(caption)));
        text = GetSysColor(COLOR_3DDKSHADOW);
    }
    SetTextColor(tempDc_, text);
    TextOutA(tempDc_, x, y, caption, static_cast<int>(std::strlen(caption)));
    BitBlt(item.hDC, item.rcItem.left, item.rcItem.top, width, height, tempDc_, 0, 0, SRCCOPY);
}

void TExceptionBox::DrawIconGlyph(const DRAWITEMSTRUCT& item) {
    FillRect(item.hDC, &item.rcItem, GetSysColorBrush(COLOR_BTNFACE));
    const std::vector<uint32_t> glyph =
        LoadGlyph(reinterpret_cast<HMODULE>(exception_.OwnerModule()), 8, 32);
    if (!glyph.empty()) BlendGlyph(item.hDC, 0, 0, glyph, 32, GetSysColor(COLOR_BTNFACE));
}

// ---- behaviour ----

void TExceptionBox::StopCountdown() {
    if (!timerStart_) return;
    KillTimer(window_, kCountdownTimer);
    timerStart_ = 0;
    if (timerButton_) InvalidateRect(timerButton_, nullptr, FALSE);
}

void TExceptionBox::OnTimer() {
    const int32_t delay = exception_.AutoDelay();
    if (!timerStart_ || !timerButton_ || delay <= 0) return;
    RECT r;
    GetClientRect(timerButton_, &r);
    const int x = CountdownX(GetTickCount() - timerStart_, r.right, delay, !flat_);
    if (x == lastProgressX_) return;
    lastProgressX_ = x;
    if (x >= CountdownEnd(r.right, !flat_)) {
        KillTimer(window_, kCountdownTimer);
        PostMessageA(window_, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(timerButton_), BN_CLICKED),
                     reinterpret_cast<LPARAM>(timerButton_));
        return;
    }
    InvalidateRect(timerButton_, nullptr, FALSE);
}

bool TExceptionBox::FireHandlers(int code) {
    bool handled = false;
    DispatchHandlers(reinterpret_cast<uintptr_t>(window_), kEventAction, static_cast<uint8_t>(code),
                     handled, exception_);
    return handled;
}

// Send, save and print first ask the assistant the settings name for them, owned by the
// box, which steps out of the top-most band meanwhile; anything but continue cancels.
bool TExceptionBox::RunActionAssistant(int code) {
    const std::string name = code == 0   ? exception_.SendAssis()
                             : code == 1 ? exception_.SaveAssis()
                                         : exception_.PrintAssis();
    if (name.empty()) return true;
    SetWindowPos(window_, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    PNVBitmap shot = exception_.Screenshot();
    const uint8_t result = RunAssistant(exception_, name, window_, exception_, shot, &shot);
    if (shot != exception_.Screenshot()) exception_.SetScreenshot(shot);
    if (IsWindow(window_))
        SetWindowPos(window_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    return result == kResultNone || result == kResultContinue;
}

void TExceptionBox::OnCommand(HWND button) {
    StopCountdown();
    int code = static_cast<int>(GetWindowLongPtrA(button, GWLP_USERDATA));
    if (code == 4 && !exception_.Continuable() && !messageBoxMode_) code = 6;
    if (code == 7) code = 6;
    Press(code);
}

void TExceptionBox::OnCloseRequest() {
    const int focused = exception_.FocusedBtn();
    if (!messageBoxMode_ && focused >= 4 && focused <= 6 && buttons_[focused])
        Press(focused);
    else if (buttons_[4] && exception_.Continuable())
        Press(4);
    else if (buttons_[6])
        Press(6);
    else if (buttons_[5])
        Press(5);
    else
        Press(messageBoxMode_ ? 4 : 6);
}

void TExceptionBox::OnSize(int width, int height) {
    if (!layoutDone_ || !IsWindowVisible(window_)) return;
    const int dx = width - clientWidth_, dy = height - clientHeight_;
    if (!dx && !dy) return;
    for (int code : {4, 5, 6})
        if (buttons_[code]) {
            RECT r;
            GetWindowRect(buttons_[code], &r);
            MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&r), 2);
            SetWindowPos(buttons_[code], nullptr, r.left + dx, r.top, 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER);
        }
    for (HWND w : {tabs_, content_})
        if (w) {
            RECT r;
            GetWindowRect(w, &r);
            SetWindowPos(w, nullptr, 0, 0, r.right - r.left + dx, r.bottom - r.top + dy,
                         SWP_NOMOVE | SWP_NOZORDER);
        }
    clientWidth_ = width;
    clientHeight_ = height;
    InvalidateRect(window_, nullptr, TRUE);
}

LRESULT TExceptionBox::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_NULL:
        if (wParam == 777 && lParam == 777) DestroyWindow(window_); // watchdog: frozen no more
        return 0;
    case WM_PAINT:
        Paint();
        return 0;
    case WM_CLOSE:
        OnCloseRequest();
        return 0;
    case WM_GETMINMAXINFO:
        if (layoutDone_) {
            auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
            info->ptMinTrackSize = {minWidth_, minHeight_};
        }
        return 0;
    case WM_SIZE:
        OnSize(LOWORD(lParam), HIWORD(lParam));
        return 0;
    case WM_TIMER:
        if (wParam == kCountdownTimer) OnTimer();
        return 0;
    case WM_COMMAND:
        if (lParam && HIWORD(wParam) == BN_CLICKED) {
            OnCommand(reinterpret_cast<HWND>(lParam));
        } else if (LOWORD(wParam) == IDOK) { // Enter without a default push button
            HWND focus = GetFocus();
            if (focus && GetParent(focus) == window_ && focus != iconWindow_) OnCommand(focus);
        } else if (LOWORD(wParam) == IDCANCEL) {
            OnCloseRequest();
        }
        return 0;
    case WM_DRAWITEM: {
        const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (item.CtlType == ODT_LISTVIEW) {
            DrawListItem(item);
        } else if (item.hwndItem == iconWindow_) {
            DrawIconGlyph(item);
        } else {
            if ((item.itemAction & ODA_FOCUS) && (item.itemState & ODS_FOCUS) &&
                item.hwndItem != focusAtStart_ && focusAtStart_)
                StopCountdown();
            DrawButton(item);
        }
        return TRUE;
    }
    case WM_MEASUREITEM: {
        auto* measure = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
        measure->itemHeight = 17;
        return TRUE;
    }
    case WM_NOTIFY: {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->hwndFrom == tabs_ && header->code == TCN_SELCHANGE)
            ShowTab(TabCtrl_GetCurSel(tabs_));
        return 0;
    }
    case WM_MOUSEMOVE: {
        const int x = static_cast<short>(LOWORD(lParam)), y = static_cast<short>(HIWORD(lParam));
        const bool over =
            x > labelX_ && x < labelX_ + labelWidth_ && y > labelY_ && y < labelY_ + 10;
        if (over != labelHovered_) {
            labelHovered_ = over;
            RECT r{labelX_, labelY_, labelX_ + labelWidth_, labelY_ + 11};
            InvalidateRect(window_, &r, TRUE);
        }
        SetCursor(LoadCursor(nullptr, over ? IDC_HAND : IDC_ARROW));
        return 0;
    }
    case WM_CTLCOLORSTATIC:
        SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    case WM_DESTROY:
        shuttingDown_ = true;
        StopCountdown();
        // A destroy from a sent message must still wake the modal loop.
        PostThreadMessageA(GetCurrentThreadId(), WM_NULL, 0, 0);
        break;
    default:
        if (message == kReportChangedMessage && wParam == 1357 && lParam == 2468) {
            if (tabs_) RefreshTabs();
            return 0;
        }
        break;
    }
    return DefWindowProcA(window_, message, wParam, lParam);
}

void TExceptionBox::Press(int code) {
    switch (code) {
    case 3:
        FireHandlers(3);
        reshow_ = true;
        DestroyWindow(window_);
        return;
    case 4:
        FireHandlers(4);
        DestroyWindow(window_);
        return;
    case 5:
    case 6:
        if (FireHandlers(code)) return;
        DestroyWindow(window_);
        ReportAutoActions(exception_, true);
        if (code == 5) RelaunchApplication();
        QuitApplication();
    case 1: {
        if (FireHandlers(1) || !RunActionAssistant(1)) return;
        const std::string report = exception_.CompleteReport();
        if (StoreBugReportFile({}, report, reinterpret_cast<uintptr_t>(window_), exception_,
                               false)) {
            ExceptionEx(exception_).SetReportSaved(true);
            const std::string name = exception_.BugRepFile();
            if (name.size() > 2 && (name.rfind("\\\\", 0) == 0 || name[1] == ':') && buttons_[1]) {
                DestroyWindow(buttons_[1]);
                buttons_[1] = nullptr;
                saveRemoved_ = true;
            }
        }
        SetCursor(LoadCursor(nullptr, IDC_ARROW));
        return;
    }
    default: // send and print go through the delivery seams
        if (FireHandlers(code) || !RunActionAssistant(code)) return;
        RunDeliverySeam(code, exception_, reinterpret_cast<uintptr_t>(window_));
        SetCursor(LoadCursor(nullptr, IDC_ARROW));
        return;
    }
}

void TExceptionBox::RunModal() {
    MSG msg;
    while (window_ && IsWindow(window_) && GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_KEYDOWN || msg.message == WM_LBUTTONDOWN) StopCountdown();
        if (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE) {
            PostMessageA(window_, WM_CLOSE, 0, 0);
            continue;
        }
        if (msg.hwnd == content_ || !IsDialogMessageA(window_, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

// ---- entry ----

void SetBoxShowHook(TBoxShowHook hook) {
    g_showHook = hook;
}

bool ShowExceptionBox(IQXException& exception) {
    const uint8_t mode = exception.ShowMode();
    if (mode == 1 && !exception.AssistantName().empty()) {
        PNVBitmap shot = exception.Screenshot();
        const uint8_t result =
            RunAssistant(exception, exception.AssistantName(), nullptr, exception, shot, &shot);
        if (shot != exception.Screenshot()) exception.SetScreenshot(shot);
        // Shown: what follows is the pipeline's to decide. Not found: the full box.
        if (result != kResultNone) return false;
    }
    const bool messageBox = mode == 2 || mode == 3;
    bool reshow = false, saveRemoved = false;
    {
        TExceptionBox box(exception, true, mode == 2, messageBox);
        box.RunModal();
        reshow = box.Reshow();
        saveRemoved = box.SaveRemoved();
    }
    if (reshow) {
        // The expanded box keeps a save button that already did its work away too.
        if (saveRemoved) (void)exception.SetSaveBtnVis(false);
        (void)exception.SetAutoShowBugRep(true);
        (void)exception.SetAutoContinue(false);
        (void)exception.SetAutoRestart(0);
        (void)exception.SetAutoClose(0);
        TExceptionBox box(exception, false, false, false);
        box.RunModal();
    }
    return true;
}

} // namespace qix
