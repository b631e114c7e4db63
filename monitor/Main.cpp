#include "monitor/Main.h"

#include "framework/Exceptions.h"
#include "monitor/Main_Paint.h"
#include "monitor/RegConfig.h"

#include <cstdlib>
#include <cstring>

TMainForm* MainForm = nullptr;
std::array<TPingResult, PingHistorySize> PingHistory;
TPinger* CurrentPinger = nullptr;
bool ResultReady = false;
int64_t PingStartTime = 0;
std::mutex MonitorLock;

struct TIconImages {
    HBITMAP IconMaskBitmap = nullptr;
    HBITMAP IconColorBitmap = nullptr;
    uint32_t* Bits = nullptr; // top-down 16 x 16, 0x00RRGGBB
    ICONINFO IconInfo{};

    TIconImages() {
        static const uint8_t zeros[IconSize * IconSize / 8] = {};
        IconMaskBitmap = CreateBitmap(IconSize, IconSize, 1, 1, zeros); // all opaque
        BITMAPINFO bi{};
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = IconSize;
        bi.bmiHeader.biHeight = -IconSize;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        bi.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        IconColorBitmap = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
        if (!IconMaskBitmap || !IconColorBitmap) {
            Release();
            throw fw::Exception("Out of system resources");
        }
        Bits = static_cast<uint32_t*>(bits);
        std::memset(Bits, 0, IconSize * IconSize * 4);
        IconInfo.fIcon = TRUE;
        IconInfo.hbmMask = IconMaskBitmap;
        IconInfo.hbmColor = IconColorBitmap;
    }
    ~TIconImages() { Release(); }
    TIconImages(const TIconImages&) = delete;
    TIconImages& operator=(const TIconImages&) = delete;

    void Release() {
        if (IconMaskBitmap) DeleteObject(IconMaskBitmap);
        if (IconColorBitmap) DeleteObject(IconColorBitmap);
        IconMaskBitmap = IconColorBitmap = nullptr;
    }

    HICON NewIcon() {
        GdiFlush();
        HICON icon = CreateIconIndirect(&IconInfo);
        if (!icon) throw fw::Exception("Out of system resources");
        return icon;
    }
};

TIconImages* IconImages = nullptr;

int64_t LocalNowMilliseconds() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    ULARGE_INTEGER u;
    u.LowPart = ft.dwLowDateTime;
    u.HighPart = ft.dwHighDateTime;
    return static_cast<int64_t>(u.QuadPart / 10000);
}

int32_t MillisecondsSince(int64_t start) {
    return static_cast<int32_t>(std::llabs(LocalNowMilliseconds() - start));
}

namespace {
const char* const kDefaultHost = "www.wikipedia.org";

template <typename T> T* Make(fw::TComponent* owner, const char* name) {
    T* c = new T(owner);
    c->SetName(name);
    return c;
}

template <typename T>
T* MakeControl(TMainForm* form, const char* name, int left, int top, int width, int height) {
    T* c = Make<T>(form, name);
    c->SetBounds(left, top, width, height);
    c->SetParent(form);
    return c;
}

fw::TLabel* MakeLabel(TMainForm* form, const char* name, int l, int t, int w, int h,
                      const char* caption) {
    auto* label = MakeControl<fw::TLabel>(form, name, l, t, w, h);
    label->SetCaption(caption);
    return label;
}

fw::TUpDown* MakeUpDown(TMainForm* form, const char* name, int l, int t, int w, int h, int16_t max,
                        int16_t position) {
    auto* ud = MakeControl<fw::TUpDown>(form, name, l, t, w, h);
    ud->SetMin(0);
    ud->SetMax(max);
    ud->SetPosition(position);
    return ud;
}

fw::TMenuItem* MakeItem(fw::TPopupMenu* menu, const char* name, const char* caption) {
    auto* item = Make<fw::TMenuItem>(menu->Owner(), name);
    item->Caption = caption;
    menu->Add(item);
    menu->FreeNotification(item);
    return item;
}

void RetuneTimer(fw::TTimer* timer, int32_t interval) {
    if (interval < 0) throw fw::ERangeError();
    timer->SetInterval(static_cast<unsigned>(interval));
}
} // namespace

TMainForm::TMainForm(fw::TComponent* owner) : fw::TForm(owner) {
    MainForm = this;
    SetName("MainForm");
    CreateComponents();
    ResolveReferences();
    OnCreate = [this](fw::TComponent* s) { FormCreate(s); };
    OnDestroy = [this](fw::TComponent* s) { FormDestroy(s); };
    OnClose = [this](fw::TComponent* s, fw::TCloseAction& a) { FormClose(s, a); };
    OnCloseQuery = [this](fw::TComponent* s, bool& c) { FormCloseQuery(s, c); };
}

TMainForm::~TMainForm() {
    {
        // A worker still waiting for its echo must find itself given up, never a form
        // that is gone: it checks its flag under the same lock before it publishes.
        std::lock_guard lock(MonitorLock);
        if (CurrentPinger) CurrentPinger->Abandoned = true;
        CurrentPinger = nullptr;
        if (MainForm == this) MainForm = nullptr;
    }
    // Store the settings while every control still exists.
    if (OnDestroy) fw::Dispatch([&] { OnDestroy(this); });
    OnDestroy = nullptr;
    DestroyComponents();
    delete IconImages;
    IconImages = nullptr;
}

// Components in the order of the form description; references are resolved
// afterwards, as at the end of loading.
void TMainForm::CreateComponents() {
    SetCaption("Configuration");
    Handle();
    SetClientSize(177, 112);
    Label1 = MakeLabel(this, "Label1", 8, 12, 50, 13, "Host or IP:");
    Label2 = MakeLabel(this, "Label2", 8, 36, 71, 13, "Ping frequency");
    Label3 = MakeLabel(this, "Label3", 8, 60, 58, 13, "Ping timeout");
    Label4 = MakeLabel(this, "Label4", 8, 84, 57, 13, "Icon update");
    Host = MakeControl<fw::TEdit>(this, "Host", 88, 8, 81, 21);
    Host->SetText(kDefaultHost);
    PingFrequencyUpDown = MakeUpDown(this, "PingFrequencyUpDown", 153, 32, 16, 21, 30000, 10000);
    PingFrequencyUpDown->OnChangingEx = [this](fw::TComponent* s, bool& a, int16_t v,
                                               fw::TUpDownDirection d) {
        PingFrequencyUpDownChangingEx(s, a, v, d);
    };
    PingFrequency = MakeControl<TVornSpinEdit>(this, "PingFrequency", 88, 32, 65, 21);
    PingFrequency->SetIntValue(10000);
    PingTimeoutUpDown = MakeUpDown(this, "PingTimeoutUpDown", 153, 56, 16, 21, 30000, 500);
    PingTimeoutUpDown->OnChangingEx = [this](fw::TComponent* s, bool& a, int16_t v,
                                             fw::TUpDownDirection d) {
        PingTimeoutUpDownChangingEx(s, a, v, d);
    };
    PingTimeout = MakeControl<TVornSpinEdit>(this, "PingTimeout", 88, 56, 65, 21);
    PingTimeout->SetIntValue(500);
    IconUpdateUpDown = MakeUpDown(this, "IconUpdateUpDown", 153, 80, 15, 21, 1000, 1);
    IconUpdate = MakeControl<TVornSpinEdit>(this, "IconUpdate", 88, 80, 65, 21);
    IconUpdate->SetIntValue(1);

    // The icon is added at once, with the application's icon and an empty tip.
    TrayIcon = Make<TSysTray>(this, "TrayIcon");
    TrayIcon->SetVisible(true);
    TrayIcon->SetHint("VORN Ravelink");
    TrayIcon->OnDblClick = [this](fw::TComponent* s) { TrayIconDblClick(s); };

    PingTimer = Make<fw::TTimer>(this, "PingTimer");
    PingTimer->SetEnabled(false);
    PingTimer->SetInterval(10000);
    PingTimer->OnTimer = [this](fw::TComponent* s) { PingTimerTimer(s); };

    Menu = Make<fw::TPopupMenu>(this, "Menu");
    MenuConfiguration = MakeItem(Menu, "MenuConfiguration", "Configuration");
    MenuConfiguration->Default = true;
    MenuConfiguration->OnClick = [this](fw::TComponent* s) { TrayIconDblClick(s); };
    N1 = MakeItem(Menu, "N1", "-");
    MenuAbout = MakeItem(Menu, "MenuAbout", "About");
    MenuAbout->OnClick = [this](fw::TComponent* s) { MenuAboutClick(s); };
    N2 = MakeItem(Menu, "N2", "-");
    MenuExit = MakeItem(Menu, "MenuExit", "Exit");
    MenuExit->OnClick = [this](fw::TComponent* s) { MenuExitClick(s); };

    IconTimer = Make<fw::TTimer>(this, "IconTimer");
    IconTimer->SetInterval(50);
    IconTimer->OnTimer = [this](fw::TComponent* s) { IconTimerTimer(s); };
}

void TMainForm::ResolveReferences() {
    PingFrequencyUpDown->SetAssociate(PingFrequency);
    PingTimeoutUpDown->SetAssociate(PingTimeout);
    IconUpdateUpDown->SetAssociate(IconUpdate);
    // Linking takes over the up-downs' OnChangingEx.
    PingFrequency->SetUpDown(PingFrequencyUpDown);
    PingTimeout->SetUpDown(PingTimeoutUpDown);
    IconUpdate->SetUpDown(IconUpdateUpDown);
    TrayIcon->SetPopupMenu(Menu);
    // Layout pass at the end of loading: each up-down moves to its edit's right.
    for (TVornSpinEdit* edit : {PingFrequency, PingTimeout, IconUpdate})
        edit->SetBounds(edit->Left(), edit->Top(), edit->Width(), edit->Height());
}

void TMainForm::FormClose(fw::TComponent*, fw::TCloseAction&) {}

void TMainForm::FormCloseQuery(fw::TComponent*, bool&) {}

void TMainForm::FormDestroy(fw::TComponent*) {
    SaveControls(this, false);
}

void TMainForm::PingTimeoutUpDownChangingEx(fw::TComponent*, bool&, int16_t, fw::TUpDownDirection) {
}

void TMainForm::PingFrequencyUpDownChangingEx(fw::TComponent*, bool& AllowChange, int16_t NewValue,
                                              fw::TUpDownDirection) {
    PingTimeoutUpDown->SetMax(NewValue);
    if (PingTimeout->IntValue() > NewValue) PingTimeout->SetIntValue(NewValue);
    AllowChange = true;
}

void TMainForm::FormCreate(fw::TComponent*) {
    LoadControls(this, false);
    delete IconImages;
    IconImages = nullptr;
    IconImages = new TIconImages();
    fw::TIcon first;
    first.SetHandle(IconImages->NewIcon());
    TrayIcon->SetIcon(first);
    DrawIcon();
    PingTimeoutUpDown->SetMax(static_cast<int16_t>(PingFrequency->IntValue()));
    RetuneTimer(PingTimer, PingFrequency->IntValue());
    PingTimer->SetEnabled(true);
    RetuneTimer(IconTimer, IconUpdate->IntValue());
    IconTimer->SetEnabled(true);
}

void TMainForm::TrayIconDblClick(fw::TComponent*) {
    Show();
    fw::Application->Restore();
    BringToFront();
}

void TMainForm::MenuAboutClick(fw::TComponent*) {
    fw::Application->ShowMessage(
        "Ravelink 2.1\nby the Ravelink developers\n<ravelink@example.org>");
}

void TMainForm::MenuExitClick(fw::TComponent*) {
    fw::Application->Terminate();
}

void TMainForm::PingTimerTimer(fw::TComponent*) {
    {
        std::lock_guard lock(MonitorLock);
        if (CurrentPinger) {
            CurrentPinger->Abandoned = true;
            CurrentPinger = nullptr;
            PingHistory[0] = {psAbandoned, "thread time-out", 0};
        }
    }
    for (int n = PingHistorySize - 1; n >= 1; --n)
        PingHistory[n] = PingHistory[n - 1];
    const std::string host = Host->Text();
    const int32_t timeout = PingTimeout->IntValue();
    {
        std::lock_guard lock(MonitorLock);
        PingHistory[0] = TPingResult{};
        PingStartTime = LocalNowMilliseconds();
        CurrentPinger = fw::TThread::Start<TPinger>(host, timeout, SendPingFunction);
    }
    DrawIcon();
}

void TMainForm::PingResult(TPingStatus Status, const std::string& Detail, int32_t Milliseconds) {
    CurrentPinger = nullptr;
    PingHistory[0] = {Status, Detail, Milliseconds};
    ResultReady = true;
}

void TMainForm::IconTimerTimer(fw::TComponent*) {
    RetuneTimer(PingTimer, PingFrequency->IntValue());
    RetuneTimer(IconTimer, IconUpdate->IntValue());
    bool running, ready;
    {
        std::lock_guard lock(MonitorLock);
        running = CurrentPinger != nullptr;
        ready = ResultReady;
        ResultReady = false;
        if (running) PingHistory[0].Milliseconds = MillisecondsSince(PingStartTime);
    }
    if (!running && !ready) return;
    try {
        DrawIcon();
    } catch (const fw::Exception& e) {
        MessageBoxA(nullptr, e.what(), nullptr, MB_OK);
    }
}

void TMainForm::DrawIcon() {
    if (!IconImages) throw fw::Exception("The icon images do not exist");
    std::array<TPingResult, IconSize> entries;
    {
        std::lock_guard lock(MonitorLock);
        std::copy_n(PingHistory.begin(), IconSize, entries.begin());
    }
    const TIconPixels pixels = PaintPingIcon(entries, PingTimeout->IntValue());
    for (size_t i = 0; i < pixels.size(); ++i)
        IconImages->Bits[i] =
            (uint32_t{pixels[i].R} << 16) | (uint32_t{pixels[i].G} << 8) | pixels[i].B;
    fw::TIcon icon;
    icon.SetHandle(IconImages->NewIcon());
    TrayIcon->SetIcon(icon); // the tray keeps a copy and releases the one it replaces
    TrayIcon->SetHint(PingHint(entries[0]));
}
