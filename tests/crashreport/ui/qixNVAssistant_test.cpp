// The assistants as a user meets them under Wine. The program carries a settings resource
// with assistant definitions and the form descriptions written by qixform; each run goes
// on a second thread (as on the handling thread) and is driven by posted keys and clicks.
// Results are read back from the windows (enabled state, texts, focus), from the registry
// and from the report text, never from the forms' own variables.
#include "crashreport/core/qixExcept_SettingsWin.h"
#include "crashreport/ui/qixNVAssistant.h"
#include "tests/crashreport/ui/qixNVAssistantTestException.h"
#include "tests/support/WinTestApp.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <thread>

using namespace qix;

// Handlers named in form descriptions: the program's own procedures, found by name in its
// debug information. This one takes the form, action and item in registers and removes
// the exception argument from the stack, as a bound handler must.
extern "C" __attribute__((noinline, used)) QIX_FORM_HANDLER void
LabFormHandler(INVForm* form, int action, INVItem*, IQXException* exception) {
    if (action == kFormCreated && form)
        if (auto edit = form->Edit("CodeEdit"))
            edit->SetText(exception ? "handler saw the exception" : "handler without exception");
}

// Same work, but the caller clears the stack: refused.
extern "C" __attribute__((noinline, used)) void LabNotAHandler(INVForm* form, int action, INVItem*,
                                                               IQXException*) {
    if (action == kFormCreated && form)
        if (auto edit = form->Edit("CodeEdit")) edit->SetText("must not happen");
}

namespace {

const char kContactKey[] = "Software\\qixlab\\ContactForm";

std::shared_ptr<IQXModuleSettings> Settings() {
    static auto settings =
        ModuleSettings(reinterpret_cast<TModuleHandle>(GetModuleHandleA(nullptr)));
    return settings;
}

struct TFormWindows {
    HWND form = nullptr;
    std::map<std::string, HWND> buttons; // buttons and check boxes by caption
    std::vector<HWND> edits;             // in item order
};

BOOL CALLBACK NoteChild(HWND child, LPARAM lp) {
    auto& w = *reinterpret_cast<TFormWindows*>(lp);
    const std::string cls = WindowClass(child);
    if (lstrcmpiA(cls.c_str(), "Button") == 0) w.buttons[WindowText(child)] = child;
    if (lstrcmpiA(cls.c_str(), "Edit") == 0) w.edits.push_back(child);
    return TRUE;
}

// The visible form window other than `previous`.
TFormWindows FindForm(HWND previous = nullptr) {
    TFormWindows w;
    PumpUntil(
        [&] {
            w.form = nullptr;
            for (HWND h = FindWindowExA(nullptr, nullptr, "qixNVAssistantWnd", nullptr); h;
                 h = FindWindowExA(nullptr, h, "qixNVAssistantWnd", nullptr))
                if (h != previous && IsWindowVisible(h)) w.form = h;
            return w.form != nullptr;
        },
        kLongWait);
    if (w.form) EnumChildWindows(w.form, NoteChild, reinterpret_cast<LPARAM>(&w));
    return w;
}

// Lets the assistant's thread work through what was posted to it.
void Settle() {
    PumpFor(150);
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Types as a person does, waiting for each line to arrive before pressing Enter: the
// form's loop makes the line break out of the key, behind whatever is queued already.
void Type(HWND edit, const std::string& text) {
    size_t start = 0;
    for (;;) {
        const size_t nl = text.find('\n', start);
        const std::string line = text.substr(start, nl == text.npos ? text.npos : nl - start);
        for (char c : line)
            PostMessageA(edit, WM_CHAR, static_cast<unsigned char>(c), 1);
        PumpUntil([&] { return EndsWith(WindowText(edit), line); }, 10000);
        if (nl == text.npos) break;
        PostMessageA(edit, WM_KEYDOWN, VK_RETURN, 1);
        PostMessageA(edit, WM_KEYUP, VK_RETURN, 0xC0000001);
        PumpUntil([&] { return EndsWith(WindowText(edit), "\r\n"); }, 10000);
        start = nl + 1;
    }
    Settle();
}

void Key(HWND target, WPARAM key) {
    PostMessageA(target, WM_KEYDOWN, key, 1);
    PostMessageA(target, WM_KEYUP, key, 0xC0000001);
    Settle();
}

void Click(HWND button) {
    RECT r;
    GetClientRect(button, &r);
    const LPARAM at = MAKELPARAM(r.right / 2, r.bottom / 2);
    PostMessageA(button, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageA(button, WM_LBUTTONUP, 0, at);
    Settle();
}

// Counts the pixels of an edit that are clearly red or clearly green (its text colour).
struct TInk {
    int red = 0, green = 0;
};
TInk InkOf(HWND edit) {
    RedrawWindow(edit, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    PumpFor(200);
    TInk ink;
    for (uint32_t p : CaptureWindow(edit).rgb) {
        const int r = (p >> 16) & 0xff, g = (p >> 8) & 0xff, b = p & 0xff;
        ink.red += r > g + 60 && r > b + 60;
        ink.green += g > r + 60 && g > b + 60;
    }
    return ink;
}

// Has the form's thread paint everything now, so a capture sees the finished window.
HWND Painted(HWND form) {
    RedrawWindow(form, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    PumpFor(300);
    return form;
}

HWND FocusOf(HWND window) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info);
    return info.hwndFocus;
}

// Waits until the window is in the wanted state; its thread may still be busy.
bool BecomesEnabled(HWND w, bool wanted) {
    return PumpUntil([&] { return (IsWindowEnabled(w) != FALSE) == wanted; }, 5000);
}

class TRun {
public:
    TRun(const char* name, test::TAssistantException& e, PNVBitmap shot = nullptr)
        : thread_([this, name, &e, shot] {
              result_ = RunAssistant(*Settings(), name, nullptr, e, shot, &shotOut_);
              done_ = true;
          }) {}
    ~TRun() {
        if (thread_.joinable()) thread_.join();
    }
    int Result() {
        PumpUntil([&] { return done_.load(); }, kLongWait);
        if (thread_.joinable()) thread_.join();
        return done_ ? result_ : -1;
    }
    PNVBitmap ShotOut() const { return shotOut_; }

private:
    std::atomic<bool> done_{false};
    int result_ = -1;
    PNVBitmap shotOut_;
    std::thread thread_;
};

std::string ReadValue(const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kContactKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "<no key>";
    char buffer[512] = {};
    DWORD size = sizeof buffer - 1, type = 0;
    const LONG rc =
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? std::string(buffer) : "<none>";
}

void WriteValue(const char* name, const char* value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kContactKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                   static_cast<DWORD>(std::strlen(value) + 1));
    RegCloseKey(key);
}

void ForgetContact() {
    RegDeleteKeyA(HKEY_CURRENT_USER, kContactKey);
}

class AssistantTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Settings() && Settings()->Valid()) << "the test program's settings resource";
        ForgetContact();
    }
    void TearDown() override { ForgetContact(); }
};

} // namespace

TEST_F(AssistantTest, ContactFormRefusesBadAddressAndRemembersAGoodOne) {
    test::TAssistantException e;
    TRun run("report", e);
    TFormWindows contact = FindForm();
    ASSERT_TRUE(contact.form);
    EXPECT_EQ(WindowText(contact.form), "Report the problem");
    ASSERT_EQ(contact.edits.size(), 2u);
    HWND next = contact.buttons["Next >"];
    ASSERT_TRUE(next && contact.buttons["Skip"] && contact.buttons["Cancel"]);
    HWND memory = contact.buttons["Remember my details for the next time"];
    ASSERT_TRUE(memory);
    EXPECT_EQ(FocusOf(contact.form), contact.edits[0]); // ActiveControl
    EXPECT_FALSE(IsWindowEnabled(next));

    Type(contact.edits[0], "Ann Smith");
    Key(contact.edits[0], VK_RETURN); // Enter in a one-line edit moves on
    EXPECT_EQ(FocusOf(contact.form), contact.edits[1]);
    Type(contact.edits[1], "ann.smith@example");
    EXPECT_TRUE(BecomesEnabled(next, false)) << "no dot after the @";
    const TInk refused = InkOf(contact.edits[1]);
    EXPECT_GT(refused.red, 0);
    EXPECT_EQ(refused.green, 0);
    Type(contact.edits[1], ".");
    EXPECT_TRUE(BecomesEnabled(next, false)) << "ends with a dot";
    Type(contact.edits[1], "org");
    EXPECT_TRUE(BecomesEnabled(next, true));
    const TInk accepted = InkOf(contact.edits[1]);
    EXPECT_GT(accepted.green, 0);
    EXPECT_EQ(accepted.red, 0);
    Key(contact.edits[1], VK_TAB);
    EXPECT_EQ(FocusOf(contact.form), memory); // labels take no focus
    Click(memory);
    Settle();
    SaveScreenshot(Painted(contact.form), "assistant_contact");
    Click(next);

    TFormWindows desc = FindForm(contact.form);
    ASSERT_TRUE(desc.form);
    ASSERT_EQ(desc.edits.size(), 1u);
    ASSERT_TRUE(desc.buttons["Stop"]) << "AbortBtn configures the cancel button";
    EXPECT_FALSE(IsWindowEnabled(desc.buttons["Next >"]));
    Type(desc.edits[0], "Clicked Save in the toolbar.\nThe window froze.");
    EXPECT_TRUE(BecomesEnabled(desc.buttons["Next >"], true));
    const std::string typed = "Clicked Save in the toolbar.\r\nThe window froze.";
    EXPECT_TRUE(PumpUntil([&] { return WindowText(desc.edits[0]) == typed; }, 10000))
        << ::testing::PrintToString(WindowText(desc.edits[0]));
    SaveScreenshot(Painted(desc.form), "assistant_description");
    Click(desc.buttons["Next >"]);
    ASSERT_EQ(run.Result(), 1);

    EXPECT_EQ(ReadValue("RememberName"), "Ann Smith");
    EXPECT_EQ(ReadValue("RememberEmail"), "ann.smith@example.org");
    EXPECT_EQ(e.GetPropStr("MailFrom"), "Ann Smith <ann.smith@example.org>");
    const std::string report = e.CompleteReport();
    const size_t section = report.find("user description");
    ASSERT_NE(section, std::string::npos) << report;
    EXPECT_NE(report.find("Clicked Save in the toolbar.\r\nThe window froze.", section),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("Ann Smith"), std::string::npos) << report;
    EXPECT_NE(report.find("call back"), std::string::npos) << report;

    // The next crash: the details come back and continue is ready at once.
    test::TAssistantException again;
    TRun second("Report", again);
    TFormWindows filled = FindForm();
    ASSERT_TRUE(filled.form);
    ASSERT_EQ(filled.edits.size(), 2u);
    EXPECT_EQ(WindowText(filled.edits[0]), "Ann Smith");
    EXPECT_EQ(WindowText(filled.edits[1]), "ann.smith@example.org");
    EXPECT_TRUE(IsWindowEnabled(filled.buttons["Next >"]));
    EXPECT_EQ(FocusOf(filled.form), filled.buttons["Next >"]);
    SaveScreenshot(Painted(filled.form), "assistant_contact_remembered");
    // Unticking the memory forgets both values.
    Click(filled.buttons["Remember my details for the next time"]);
    Click(filled.buttons["Next >"]);
    TFormWindows desc2 = FindForm(filled.form);
    ASSERT_TRUE(desc2.form);
    Click(desc2.buttons["Skip"]);
    EXPECT_EQ(second.Result(), 1);
    EXPECT_EQ(ReadValue("RememberName"), "<none>");
    EXPECT_EQ(ReadValue("RememberEmail"), "<none>");
}

TEST_F(AssistantTest, SkipLeavesRegistryAndSenderAlone) {
    WriteValue("RememberName", "Old Name");
    WriteValue("RememberEmail", "old@example.org");
    test::TAssistantException e;
    TRun run("Report", e);
    TFormWindows contact = FindForm();
    ASSERT_TRUE(contact.form);
    ASSERT_EQ(contact.edits.size(), 2u);
    SendMessageA(contact.edits[0], WM_SETTEXT, 0, reinterpret_cast<LPARAM>("Somebody Else"));
    Click(contact.buttons["Remember my details for the next time"]); // unticked, then skipped
    Click(contact.buttons["Skip"]);
    TFormWindows desc = FindForm(contact.form);
    ASSERT_TRUE(desc.form);
    Click(desc.buttons["Skip"]);
    EXPECT_EQ(run.Result(), 1);
    EXPECT_EQ(ReadValue("RememberName"), "Old Name");
    EXPECT_EQ(ReadValue("RememberEmail"), "old@example.org");
    EXPECT_EQ(e.GetPropStr("MailFrom"), "");
    EXPECT_EQ(e.CompleteReport().find("Somebody Else"), std::string::npos);
}

TEST_F(AssistantTest, EscapeCancelsAndTheRenamedCancelButtonToo) {
    const int gdiBefore = GdiObjectCount();
    ASSERT_GE(gdiBefore, 0) << "the GDI handle table was not found";
    {
        test::TAssistantException e;
        TRun run("Report", e);
        TFormWindows contact = FindForm();
        ASSERT_TRUE(contact.form);
        Key(contact.edits[0], VK_ESCAPE);
        EXPECT_EQ(run.Result(), 3);
        EXPECT_FALSE(IsWindow(contact.form));
    }
    {
        test::TAssistantException e;
        TRun run("Report", e);
        TFormWindows contact = FindForm();
        ASSERT_TRUE(contact.form);
        Click(contact.buttons["Skip"]);
        TFormWindows desc = FindForm(contact.form);
        ASSERT_TRUE(desc.form);
        Type(desc.edits[0], "text that is not sent");
        Click(desc.buttons["Stop"]);
        EXPECT_EQ(run.Result(), 3);
        EXPECT_EQ(e.CompleteReport().find("not sent"), std::string::npos);
    }
    {
        // Closing by the title bar counts as cancel.
        test::TAssistantException e;
        TRun run("Report", e);
        TFormWindows contact = FindForm();
        ASSERT_TRUE(contact.form);
        PostMessageA(contact.form, WM_CLOSE, 0, 0);
        EXPECT_EQ(run.Result(), 3);
    }
    // Fonts, brushes and off-screen bitmaps of three runs are all given back.
    EXPECT_TRUE(PumpUntil([&] { return GdiObjectCount() == gdiBefore; }, 5000))
        << GdiObjectCount() << " GDI objects, " << gdiBefore << " before";
}

TEST_F(AssistantTest, OwnerIsDisabledForTheWholeRun) {
    HWND owner = CreateWindowExA(0, "STATIC", "owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10,
                                 200, 100, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_TRUE(owner);
    test::TAssistantException e;
    std::atomic<int> result{-1};
    std::thread run([&] { result = RunAssistant(*Settings(), "Report", owner, e); });
    TFormWindows contact = FindForm();
    ASSERT_TRUE(contact.form);
    EXPECT_EQ(GetWindow(contact.form, GW_OWNER), owner);
    EXPECT_FALSE(IsWindowEnabled(owner));
    Click(contact.buttons["Skip"]);
    TFormWindows desc = FindForm(contact.form);
    ASSERT_TRUE(desc.form);
    EXPECT_FALSE(IsWindowEnabled(owner)) << "between two forms";
    Click(desc.buttons["Skip"]);
    PumpUntil([&] { return result != -1; }, kLongWait);
    run.join();
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(IsWindowEnabled(owner));
    DestroyWindow(owner);
}

// A 24-bit bottom-up BMP of one colour, laid out by hand.
std::string SolidBmp(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
    const int stride = (w * 3 + 3) & ~3;
    const uint32_t size = 54 + static_cast<uint32_t>(stride * h);
    std::string bmp(size, '\0');
    auto put = [&](size_t at, uint32_t v, int n) {
        for (int i = 0; i < n; ++i)
            bmp[at + i] = static_cast<char>(v >> (8 * i));
    };
    bmp[0] = 'B';
    bmp[1] = 'M';
    put(2, size, 4);
    put(10, 54, 4);
    put(14, 40, 4);
    put(18, static_cast<uint32_t>(w), 4);
    put(22, static_cast<uint32_t>(h), 4);
    put(26, 1, 2);
    put(28, 24, 2);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t at = 54 + static_cast<size_t>(y * stride + x * 3);
            bmp[at] = static_cast<char>(b);
            bmp[at + 1] = static_cast<char>(g);
            bmp[at + 2] = static_cast<char>(r);
        }
    return bmp;
}

TEST_F(AssistantTest, ScreenshotFormShowsThePictureAndTheAttachChoice) {
    auto canvas = CreateDibCanvas(320, 200);
    ASSERT_TRUE(canvas);
    uint8_t* px = canvas->Pixels();
    for (int i = 0; i < 320 * 200; ++i) { // blue left half, yellow right half (BGRA)
        const bool left = i % 320 < 160;
        px[4 * i + 0] = left ? 200 : 0;
        px[4 * i + 1] = left ? 60 : 210;
        px[4 * i + 2] = left ? 30 : 230;
        px[4 * i + 3] = 255;
    }
    const PNVBitmap shot = std::make_shared<TINVBitmap>(std::move(canvas));
    test::TAssistantException e;
    e.screenshotAppended = true;
    TRun run("Shot", e, shot);
    TFormWindows form = FindForm();
    ASSERT_TRUE(form.form);
    HWND attach = form.buttons["Attach the screenshot to the report"];
    ASSERT_TRUE(attach);
    Settle();
    // The scaled picture is painted inside the panel: both halves' colours show.
    const TestImage image = CaptureWindow(Painted(form.form));
    SaveScreenshot(image, "assistant_screenshot");
    auto similar = [](uint32_t p, uint32_t want) {
        for (int shift : {0, 8, 16}) {
            const int a = static_cast<int>((p >> shift) & 0xff);
            const int b = static_cast<int>((want >> shift) & 0xff);
            if (a - b > 3 || b - a > 3) return false;
        }
        return true;
    };
    bool blue = false, yellow = false;
    for (uint32_t p : image.rgb) {
        blue |= similar(p, 0x1e3cc8);
        yellow |= similar(p, 0xe6d200);
    }
    EXPECT_TRUE(blue && yellow) << "the screenshot is not shown";

    // A click on the picture writes it for editing; an editor that saves a new picture
    // (played here by the test) has it shown and taken over at the next timer tick.
    char temp[MAX_PATH + 1] = {};
    GetTempPathA(MAX_PATH, temp);
    const std::string file = std::string(temp) + "screenShot.bmp";
    DeleteFileA(file.c_str());
    RECT client;
    GetClientRect(form.form, &client);
    const LPARAM middle = MAKELPARAM(client.right / 2, 120);
    PostMessageA(form.form, WM_LBUTTONDOWN, MK_LBUTTON, middle);
    PostMessageA(form.form, WM_LBUTTONUP, 0, middle);
    ASSERT_TRUE(PumpUntil(
        [&] { return GetFileAttributesA(file.c_str()) != INVALID_FILE_ATTRIBUTES; }, 10000))
        << "the picture was not written for the editor";
    PumpFor(300);
    {
        HANDLE h = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        const std::string bmp = SolidBmp(40, 30, 20, 170, 40);
        DWORD written = 0;
        WriteFile(h, bmp.data(), static_cast<DWORD>(bmp.size()), &written, nullptr);
        FILETIME later;
        GetSystemTimeAsFileTime(&later);
        ULARGE_INTEGER t = {{later.dwLowDateTime, later.dwHighDateTime}};
        t.QuadPart += 60ull * 10000000; // past the two-second steps of file dates
        later = {t.LowPart, t.HighPart};
        SetFileTime(h, nullptr, nullptr, &later);
        CloseHandle(h);
    }
    const bool green = PumpUntil(
        [&] {
            const TestImage now = CaptureWindow(Painted(form.form));
            for (uint32_t p : now.rgb)
                if (similar(p, 0x14aa28)) return true;
            return false;
        },
        20000);
    EXPECT_TRUE(green) << "the edited picture is not shown";
    Click(attach); // untick
    Click(form.buttons["Next >"]);
    EXPECT_EQ(run.Result(), 1);
    EXPECT_FALSE(e.screenshotAppended);
    ASSERT_TRUE(run.ShotOut());
    EXPECT_EQ(run.ShotOut()->Width(), 40);
    EXPECT_EQ(GetFileAttributesA(file.c_str()), INVALID_FILE_ATTRIBUTES) << "temp picture left";
}

TEST_F(AssistantTest, WithoutScreenshotTheScreenshotFormIsLeftOut) {
    test::TAssistantException e;
    TRun run("Shot", e); // no picture: the only form is dropped
    EXPECT_EQ(run.Result(), 1);
    EXPECT_TRUE(e.screenshotAppended);
}

std::string g_createdTitle;
IQXSettings* g_createdSettings = nullptr;
void NoteCreated(INVAssistant& assistant, IQXSettings& settings) {
    g_createdTitle = assistant.Title() + "/" + std::to_string(assistant.FormCount());
    g_createdSettings = &settings;
}

TEST_F(AssistantTest, MissingResourceGivesTheThreeButtonsAndUnknownNamesNothing) {
    test::TAssistantException e;
    EXPECT_EQ(RunAssistant(*Settings(), "NoSuchAssistant", nullptr, e), 0);
    SetAssistantCreatedHook(NoteCreated);
    const PNVAssistant loaded = LoadAssistant(*Settings(), "missing");
    SetAssistantCreatedHook(nullptr);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(g_createdTitle, "Nothing described/1");
    EXPECT_EQ(g_createdSettings, Settings().get());
    ASSERT_TRUE(loaded->Form("nosuchform"));
    EXPECT_EQ(loaded->Form(0)->ItemCount(), 3);
    TRun run("Missing", e);
    TFormWindows form = FindForm();
    ASSERT_TRUE(form.form);
    EXPECT_EQ(form.buttons.size(), 3u);
    EXPECT_TRUE(form.edits.empty());
    // A fixed dialog frame: the system menu keeps Move and Close only.
    EXPECT_TRUE(GetWindowLongA(form.form, GWL_EXSTYLE) & WS_EX_DLGMODALFRAME);
    HMENU menu = GetSystemMenu(form.form, FALSE);
    ASSERT_TRUE(menu);
    for (UINT gone : {SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE})
        EXPECT_EQ(GetMenuState(menu, gone, MF_BYCOMMAND), static_cast<UINT>(-1)) << gone;
    EXPECT_NE(GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND), static_cast<UINT>(-1));
    EXPECT_TRUE(IsWindowEnabled(form.buttons["Next >"]));
    SaveScreenshot(Painted(form.form), "assistant_empty");
    Click(form.buttons["Next >"]);
    EXPECT_EQ(run.Result(), 1);
}

TEST_F(AssistantTest, HandlerNamedInTheDescriptionIsBoundThroughDebugInformation) {
    test::TAssistantException e;
    TRun run("Handled", e);
    TFormWindows bound = FindForm();
    ASSERT_TRUE(bound.form);
    ASSERT_EQ(bound.edits.size(), 1u);
#if defined(__i386__)
    EXPECT_EQ(WindowText(bound.edits[0]), "handler saw the exception");
#else
    // The 64-bit build binds no procedure by name (its code is not checked).
    EXPECT_EQ(WindowText(bound.edits[0]), "");
#endif
    Click(bound.buttons["Next >"]);
    TFormWindows refused = FindForm(bound.form);
    ASSERT_TRUE(refused.form);
    ASSERT_EQ(refused.edits.size(), 1u);
    EXPECT_EQ(WindowText(refused.edits[0]), "");
    Click(refused.buttons["Next >"]);
    EXPECT_EQ(run.Result(), 1);
}
