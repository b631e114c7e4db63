// The configuration form as a user meets it: start-up, the window, the menu, the registry.
#include "MonitorFixture.h"

#include "framework/Exceptions.h"

namespace {
// Set in the environment of a copy of this program that only opens the configuration
// window and reports where it went, as its exit code (x in the high half, y in the low).
const char* const kPositionChild = "QIX_POSITION_CHILD";

class PositionChild : public ::testing::Environment {
public:
    void SetUp() override {
        if (!GetEnvironmentVariableA(kPositionChild, nullptr, 0)) return;
        TestApplication();
        auto* form = fw::Application->CreateForm<TMainForm>();
        form->PingTimer->SetEnabled(false);
        RECT r{};
        GetWindowRect(form->Handle(), &r);
        const bool framework_agrees = form->Left() == r.left && form->Top() == r.top;
        delete form;
        ExitProcess(framework_agrees && r.left >= 0 && r.top >= 0
                        ? static_cast<UINT>(r.left) << 16 | static_cast<UINT>(r.top)
                        : 0xFFFFFFFFu);
    }
};
[[maybe_unused]] ::testing::Environment* const kPositionChildEnvironment =
    ::testing::AddGlobalTestEnvironment(new PositionChild);
} // namespace

TEST_F(MonitorTest, FirstStartUsesTheDefaultsAndShowsNoWindow) {
    ASSERT_FALSE(KeyExists());
    StartForms();
    EXPECT_TRUE(KeyExists());           // created while loading
    form->PingTimer->SetEnabled(false); // never ping the default host from a test
    EXPECT_EQ(fw::Application->MainForm(), dummy);
    EXPECT_FALSE(IsWindowVisible(form->Handle()));
    EXPECT_FALSE(form->Host->Text().empty());
    EXPECT_NE(form->Host->Text(), "127.0.0.1");
    EXPECT_EQ(form->PingFrequency->IntValue(), 10000);
    EXPECT_EQ(form->PingTimeout->IntValue(), 500);
    EXPECT_EQ(form->IconUpdate->IntValue(), 1);
    EXPECT_EQ(form->PingFrequency->Text(), "10000");
    EXPECT_EQ(form->TrayIcon->Hint(), "VORN Ravelink 2");
    EXPECT_TRUE(form->TrayIcon->Visible());
    EXPECT_EQ(form->IconTimer->Interval(), 1u);
    EXPECT_EQ(form->PingTimeoutUpDown->Max(), 10000);
    // Nothing is stored before exit.
    EXPECT_EQ(Stored("PingFrequency"), "<missing>");
}

TEST_F(MonitorTest, WindowLayout) {
    Store({{"Host", "127.0.0.1"}});
    StartForms();
    EXPECT_EQ(form->Caption(), "Configuration");
    EXPECT_EQ(form->ClientWidth(), 177);
    EXPECT_EQ(form->ClientHeight(), 112);
    EXPECT_TRUE(GetWindowLongPtrA(form->Handle(), GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    EXPECT_EQ(form->Label1->Caption(), "Host or IP:");
    EXPECT_EQ(form->Label4->Caption(), "Icon update");
    for (auto* edit : {form->PingFrequency, form->PingTimeout, form->IconUpdate}) {
        EXPECT_EQ(edit->UpDown()->Left(), edit->Left() + edit->Width() + 1);
        EXPECT_EQ(edit->UpDown()->Top(), edit->Top());
    }
    form->TrayIconDblClick(form);
    ASSERT_TRUE(IsWindowVisible(form->Handle()));
    PumpFor(200); // the picture only: Wine hands drawing to the display a little later
    SaveScreenshot(form->Handle(), "configuration-window");
}

// Whoever starts a program may name where its first window with a default position opens
// (STARTUPINFO's position). The system applies that only where it places a window itself,
// which it never does for a pop-up window: so the configuration window opening there shows
// that the system, not the program, chose the place.
TEST_F(MonitorTest, ConfigurationWindowOpensAtTheSystemsDefaultPosition) {
    Store({{"Host", "127.0.0.1"}});
    STARTUPINFOA startup{};
    startup.dwFlags = STARTF_USEPOSITION;
    startup.dwX = 123;
    startup.dwY = 77;
    DWORD code = 0;
    ASSERT_TRUE(RunCopyOfThisProgram(kPositionChild, startup, code))
        << "the copy that opens the window did not run to its end";
    ASSERT_NE(code, 0xFFFFFFFFu) << "the form's own position differs from its window's";
    EXPECT_EQ(code >> 16, 123u);
    EXPECT_EQ(code & 0xFFFF, 77u);
}

TEST_F(MonitorTest, TimeoutBoundFollowsTheFrequencyOnlyAtStartUp) {
    Store({{"Host", "127.0.0.1"}, {"PingFrequency", "300"}, {"PingTimeout", "600"}});
    StartForms();
    EXPECT_EQ(form->PingTimeoutUpDown->Max(), 300);
    EXPECT_EQ(form->PingTimeout->IntValue(), 600); // above the bound, yet kept
    EXPECT_EQ(form->PingTimer->Interval(), 300u);
    EXPECT_TRUE(form->PingTimer->Enabled());
}

TEST_F(MonitorTest, DoubleClickOpensClosingHidesAndReopeningKeepsTheValues) {
    Store({{"Host", "127.0.0.1"}});
    StartForms();
    form->PingTimer->SetEnabled(false);
    TrayMouse(WM_LBUTTONDOWN);
    TrayMouse(WM_LBUTTONUP);
    TrayMouse(WM_LBUTTONDBLCLK);
    TrayMouse(WM_LBUTTONUP);
    EXPECT_TRUE(IsWindowVisible(form->Handle()));
    SetWindowTextA(form->PingTimeout->Handle(), "750");
    SendMessageA(form->Handle(), WM_CLOSE, 0, 0);
    PumpFor(50);
    EXPECT_FALSE(IsWindowVisible(form->Handle()));
    EXPECT_FALSE(fw::Application->Terminated());
    EXPECT_TRUE(form->TrayIcon->Visible());
    form->MenuConfiguration->Click();
    EXPECT_TRUE(IsWindowVisible(form->Handle()));
    EXPECT_EQ(form->PingTimeout->IntValue(), 750);
    EXPECT_EQ(form->PingTimeout->Text(), "750");
}

TEST_F(MonitorTest, MenuHasConfigurationAsBoldDefaultAboutAndExit) {
    Store({{"Host", "127.0.0.1"}});
    StartForms();
    std::vector<std::string> captions;
    for (auto* item : form->Menu->Items())
        captions.push_back(item->Caption);
    EXPECT_EQ(captions, (std::vector<std::string>{"Configuration", "-", "About", "-", "Exit"}));
    EXPECT_TRUE(form->MenuConfiguration->Default);
    EXPECT_EQ(form->TrayIcon->PopupMenu(), form->Menu);
}

TEST_F(MonitorTest, AboutShowsThreeLinesUnderTheTitle) {
    Store({{"Host", "127.0.0.1"}});
    StartForms();
    DialogCatcher catcher;
    form->MenuAbout->Click();
    ASSERT_TRUE(catcher.Seen());
    EXPECT_EQ(catcher.Caption(), "Ravelink 2");
    const std::string text = catcher.Text();
    ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    EXPECT_EQ(text.substr(0, text.find('\n')), "Ravelink 2.1");
    const std::string rest = text.substr(text.find('\n') + 1);
    EXPECT_EQ(rest.substr(0, 3), "by ");
    // The program's makers as a team, not an invented person.
    EXPECT_EQ(rest.substr(0, rest.find('\n')), "by the Ravelink developers");
    const std::string contact = rest.substr(rest.find('\n') + 1);
    ASSERT_GE(contact.size(), 2u);
    EXPECT_EQ(contact.front(), '<');
    EXPECT_EQ(contact.back(), '>');
    // Until the project has a real address, only a domain reserved for examples (RFC 2606).
    const std::string domain =
        contact.substr(contact.find('@') + 1, contact.size() - 1 - contact.find('@') - 1);
    const bool reserved = domain == "example.org" || domain == "example.com" ||
                          domain == "example.net" ||
                          (domain.size() > 8 && domain.substr(domain.size() - 8) == ".example");
    EXPECT_TRUE(reserved) << contact;
}

TEST_F(MonitorTest, ExitStoresTheValuesAndRemovesTheIcon) {
    Store({{"Host", "127.0.0.1"}});
    StartForms();
    SetWindowTextA(form->PingFrequency->Handle(), "2500");
    TTrayIconData data = form->TrayIcon->IconData();
    form->MenuExit->Click();
    EXPECT_TRUE(fw::Application->Terminated());
    StopForms(); // what the end of the message loop does
    EXPECT_EQ(Stored("Host"), "127.0.0.1");
    EXPECT_EQ(Stored("PingFrequency"), "2500");
    EXPECT_EQ(Stored("PingTimeout"), "500");
    EXPECT_EQ(Stored("IconUpdate"), "1");
    // The shell no longer knows the icon.
    EXPECT_FALSE(Shell_NotifyIconA(NIM_MODIFY, reinterpret_cast<NOTIFYICONDATAA*>(&data)));
}

TEST_F(MonitorTest, StoredValuesAreValidatedOnLoad) {
    Store({{"Host", "127.0.0.1"},
           {"PingFrequency", "40000"},
           {"PingTimeout", "abc"},
           {"IconUpdate", "5"},
           {"Unrelated", "x"}});
    StartForms();
    EXPECT_EQ(form->PingFrequency->IntValue(), 10000);
    EXPECT_EQ(form->PingTimeout->IntValue(), 500);
    EXPECT_EQ(form->IconUpdate->IntValue(), 5);
    EXPECT_EQ(beeps, 2);
}

TEST_F(MonitorTest, NoBreakSpaceGroupedValueLoads) {
    Store({{"Host", "127.0.0.1"},
           {"PingFrequency", "10\xA0"
                             "000"},
           {"PingTimeout", ""}});
    StartForms();
    EXPECT_EQ(form->PingFrequency->IntValue(), 10000);
    EXPECT_EQ(form->PingFrequency->Text(), "10000");
    EXPECT_EQ(form->PingTimeout->IntValue(), 0); // an empty value empties the field
}

TEST_F(MonitorTest, WrongRegistryTypeStopsFormCreateWithTheRegistryMessage) {
    Store({{"Host", "127.0.0.1"}});
    {
        HKEY key;
        RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\VORN\\Ravelink 2", 0, KEY_ALL_ACCESS, &key);
        DWORD v = 300;
        RegSetValueExA(key, "PingFrequency", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), sizeof v);
        RegCloseKey(key);
    }
    DialogCatcher catcher;
    StartForms();
    ASSERT_TRUE(PumpUntil([&] { return catcher.Seen(); }, kLongWait));
    EXPECT_EQ(catcher.Text(), "Invalid data type for 'PingFrequency'");
    EXPECT_EQ(catcher.Caption(), "Ravelink 2");
    EXPECT_FALSE(form->PingTimer->Enabled());
    EXPECT_TRUE(form->IconTimer->Enabled());
    EXPECT_EQ(form->TrayIcon->Hint(), "VORN Ravelink"); // nothing was drawn
    // The icon tick still retunes without anything to draw.
    SetWindowTextA(form->IconUpdate->Handle(), "7");
    form->IconTimerTimer(form);
    EXPECT_EQ(form->IconTimer->Interval(), 7u);
    // Storing at exit fails at the DWORD only when it cannot be written: a string replaces it.
    StopForms();
    EXPECT_EQ(Stored("PingFrequency"), "10000");
}
