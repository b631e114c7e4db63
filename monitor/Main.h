#pragma once
// The configuration window, owner of everything the monitor needs at run time,
// and the monitor's state for the life of the process.
#include "framework/ComCtrls.h"
#include "framework/ExtCtrls.h"
#include "framework/Forms.h"
#include "framework/Menus.h"
#include "framework/StdCtrls.h"
#include "monitor/PingerU.h"
#include "monitor/PingerU_Status.h"
#include "monitor/SysTray.h"
#include "monitor/VornControl.h"

#include <array>
#include <cstdint>
#include <mutex>

class TMainForm : public fw::TForm {
public:
    explicit TMainForm(fw::TComponent* owner);
    ~TMainForm() override;

    fw::TLabel* Label1;
    fw::TLabel* Label2;
    fw::TLabel* Label3;
    fw::TLabel* Label4;
    fw::TEdit* Host;
    fw::TUpDown* PingFrequencyUpDown;
    TVornSpinEdit* PingFrequency;
    fw::TUpDown* PingTimeoutUpDown;
    TVornSpinEdit* PingTimeout;
    fw::TUpDown* IconUpdateUpDown;
    TVornSpinEdit* IconUpdate;
    TSysTray* TrayIcon;
    fw::TTimer* PingTimer;
    fw::TPopupMenu* Menu;
    fw::TMenuItem* MenuConfiguration;
    fw::TMenuItem* N1;
    fw::TMenuItem* MenuAbout;
    fw::TMenuItem* N2;
    fw::TMenuItem* MenuExit;
    fw::TTimer* IconTimer;

    void FormClose(fw::TComponent* Sender, fw::TCloseAction& Action);
    void FormCloseQuery(fw::TComponent* Sender, bool& CanClose);
    void FormDestroy(fw::TComponent* Sender);
    void PingTimeoutUpDownChangingEx(fw::TComponent* Sender, bool& AllowChange, int16_t NewValue,
                                     fw::TUpDownDirection Direction);
    void PingFrequencyUpDownChangingEx(fw::TComponent* Sender, bool& AllowChange, int16_t NewValue,
                                       fw::TUpDownDirection Direction);
    void FormCreate(fw::TComponent* Sender);
    void PingTimerTimer(fw::TComponent* Sender);
    void IconTimerTimer(fw::TComponent* Sender);
    void MenuExitClick(fw::TComponent* Sender);
    void MenuAboutClick(fw::TComponent* Sender);
    void TrayIconDblClick(fw::TComponent* Sender);
    void DrawIcon();
    // Publishes an outcome; called by the worker with the monitor lock held.
    void PingResult(TPingStatus Status, const std::string& Detail, int32_t Milliseconds);

    // How an attempt sends its echo; tests put a controllable one here.
    TSendPing SendPingFunction = &SendPing;

private:
    void CreateComponents();
    void ResolveReferences();
};

extern TMainForm* MainForm;

// Monitor state, one instance for the process.
constexpr int PingHistorySize = 2001;
extern std::array<TPingResult, PingHistorySize> PingHistory;
extern TPinger* CurrentPinger;
extern bool ResultReady;
extern int64_t PingStartTime; // local date and time in milliseconds
extern std::mutex MonitorLock;

// Local date and time in milliseconds, and the whole milliseconds since such an instant.
int64_t LocalNowMilliseconds();
int32_t MillisecondsSince(int64_t start);

// The icon images built by FormCreate: mask, 32-bit colour bitmap and the current icon.
struct TIconImages;
extern TIconImages* IconImages;
