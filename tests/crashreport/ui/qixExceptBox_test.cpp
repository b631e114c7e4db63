// The exception box as a user meets it under Wine: a made-up exception object, the box
// shown on a second thread (as on the handling thread), driven by posted clicks and keys.
// What happened is read back from the windows (button texts, list-view rows through the
// LVM_ messages) and from the file on disk, never from the box's own variables.
#include "crashreport/core/qixExcept_Handlers.h"
#include "crashreport/core/qixExcept_Pipeline.h"
#include "crashreport/core/qixSettingsFields.h"
#include "crashreport/ui/qixExceptBox.h"
#include "tests/support/WinTestApp.h"
#include "tests/support/qixFakeException.h"

#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <variant>

using namespace qix;

namespace {

const char* const kMessage =
    "Access violation at address 00401234 in module 'lab.exe'. Read of address 00000000.";

// A crash as a report describes it: two threads, registers.
class TLabException final : public test::TFakeException, public IQXExceptionEx {
public:
    TLabException() {
        message = kMessage;
        header_->SetContents("date/time", "2026-12-08, 07:00:00:000");
        header_->SetContents("executable", "lab.exe");
        header_->SetContents("current module", "lab.exe");
        header_->SetContents("version", "1.0.0.0");
        header_->SetContents("exception class", "EAccessViolation");
        header_->SetContents("callstack crc", "$0a1b2c3d, $11111111, $22222222");
        sections_->SetContents("main thread ($1a4)",
                               "00401234 +034 lab.exe Main 123 +4 CrashHere\r\n"
                               "00401300 +010 lab.exe Main  99 +0 RunLab\r\n"
                               "0040a000 +000 lab.exe Lab   12 +1 Program");
        sections_->SetContents("worker thread ($2b0)",
                               "7c801000 +100 kernel32.dll Worker 7 +1 WaitForWork\r\n"
                               "7c802000 +200 kernel32.dll Worker 8 +2 WorkerLoop");
        sections_->SetContents("cpu registers", "eax = 00000000\r\nebx = 0012ff00\r\n"
                                                "ecx = 00000001\r\nedx = 7c900000");
    }
    bool ShowDialog() override { return ShowExceptionBox(*this); }

    bool HasCriticalListener() const override { return false; }
    uint32_t CompletionThreadId() const override { return 0; }
    void SetHandlingPhase(int) override {}
    bool ReportSent() const override { return false; }
    void SetReportSent(bool) override {}
    bool ReportSaved() const override { return saved; }
    void SetReportSaved(bool v) override { saved = v; }
    bool ClaimCompleteNotice() override { return false; }
    bool ClaimAutoSave() override { return false; }
    bool saved = false;
};

// The actions the handlers saw; a handler may claim one.
std::vector<int> g_actions;
int g_claim = -1;
void NoteAction(int action, IQXException&, bool& handled) {
    g_actions.push_back(action);
    if (action == g_claim) handled = true;
}

struct TBoxWindows {
    HWND box = nullptr;
    std::map<std::string, HWND> buttons; // by caption
    std::vector<HWND> statics, tabs, lists;
};

BOOL CALLBACK NoteChild(HWND child, LPARAM lp) {
    auto& w = *reinterpret_cast<TBoxWindows*>(lp);
    const std::string cls = WindowClass(child);
    if (cls == "Button" && !WindowText(child).empty()) w.buttons[WindowText(child)] = child;
    if (cls == "Static") w.statics.push_back(child);
    if (cls == "SysTabControl32") w.tabs.push_back(child);
    if (cls == "SysListView32") w.lists.push_back(child);
    return TRUE;
}

TBoxWindows FindBox(int timeoutMs = 10000) {
    TBoxWindows w;
    PumpUntil(
        [&] {
            w.box = FindWindowA("qixExceptWndClass", nullptr);
            return w.box && IsWindowVisible(w.box);
        },
        timeoutMs);
    if (w.box) EnumChildWindows(w.box, NoteChild, reinterpret_cast<LPARAM>(&w));
    return w;
}

// The box runs on its own thread, as on the handling thread.
class TBoxRun {
public:
    explicit TBoxRun(TLabException& e)
        : thread_([this, &e] {
              ShowExceptionBox(e);
              done_ = true;
          }) {}
    ~TBoxRun() {
        if (thread_.joinable()) thread_.join();
    }
    bool Ends(int timeoutMs = 10000) {
        const bool done = PumpUntil([&] { return done_.load(); }, timeoutMs);
        return done;
    }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

void Click(HWND button) {
    RECT r;
    GetClientRect(button, &r);
    const LPARAM at = MAKELPARAM(r.right / 2, r.bottom / 2);
    PostMessageA(button, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageA(button, WM_LBUTTONUP, 0, at);
}

void Key(HWND target, WPARAM key) {
    PostMessageA(target, WM_KEYDOWN, key, 1);
    PostMessageA(target, WM_KEYUP, key, 0xC0000001);
}

// The box paints on its own thread: give it time before the picture.
void Shot(HWND w, const std::string& name) {
    PumpFor(600);
    RedrawWindow(w, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    PumpFor(300);
    EXPECT_FALSE(SaveScreenshot(w, name).empty()) << name;
}

int Height(HWND w) {
    RECT r;
    GetWindowRect(w, &r);
    return r.bottom - r.top;
}

class ExceptionBox : public ::testing::Test {
protected:
    void SetUp() override {
        TestApplication();
        InitCommonControls();
        g_actions.clear();
        g_claim = -1;
        RegisterActionHandler(&NoteAction, kSyncNone);
        e.props["AutoDelay"] = int32_t(0);
    }
    void TearDown() override { UnregisterActionHandler(&NoteAction); }
    TLabException e;
};

TEST_F(ExceptionBox, ButtonsAsTheSettingsAskAndContinueReturns) {
    e.props["SaveBtnVis"] = true;
    e.props["PrintBtnVis"] = false;
    e.props["RestartBtnVis"] = false;
    e.props["TitleBar"] = std::string("Lab: %exceptMsg%");
    TBoxRun run(e);
    TBoxWindows w = FindBox();
    ASSERT_TRUE(w.box) << "no box window of class qixExceptWndClass appeared";
    EXPECT_EQ(WindowText(w.box), std::string("Lab: ") + kMessage);
    std::vector<std::string> captions;
    for (const auto& [caption, button] : w.buttons)
        captions.push_back(caption);
    EXPECT_EQ(captions,
              (std::vector<std::string>{"close bug report", "continue bug report",
                                        "save bug report", "send bug report", "show bug report"}));
    for (const auto& [caption, button] : w.buttons)
        EXPECT_EQ(Height(button), 22) << caption;
    bool messageShown = false;
    for (HWND s : w.statics)
        messageShown = messageShown || WindowText(s) == "An error occurred in the application.";
    EXPECT_TRUE(messageShown);
    Shot(w.box, "exception_box_full");
    Click(w.buttons["continue bug report"]);
    ASSERT_TRUE(run.Ends()) << "continue did not close the box";
    EXPECT_EQ(g_actions, std::vector<int>{4});
}

TEST_F(ExceptionBox, SaveWritesTheFileAndFoldsTheSecondCrash) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string file = std::string(temp) + "qixbox\\sub\\bugreport.txt";
    DeleteFileA(file.c_str());
    e.props["SaveBtnVis"] = true;
    e.props["BugRepFile"] = file;
    for (int round = 1; round <= 2; ++round) {
        TBoxRun run(e);
        TBoxWindows w = FindBox();
        ASSERT_TRUE(w.box);
        HWND save = w.buttons["save bug report"];
        ASSERT_TRUE(save);
        // Keyboard: focus the button, then the space bar presses it.
        PostMessageA(w.box, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(save), TRUE);
        Key(save, VK_SPACE);
        // An absolute file name: the button goes once the report is saved.
        ASSERT_TRUE(PumpUntil([&] { return !IsWindow(save); }, 10000)) << "round " << round;
        Shot(w.box, "exception_box_after_save");
        Key(w.buttons["continue bug report"], VK_ESCAPE);
        ASSERT_TRUE(run.Ends());
    }
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string content = text.str();
    size_t reports = 0;
    for (size_t at = content.find("date/time"); at != std::string::npos;
         at = content.find("date/time", at + 1))
        ++reports;
    EXPECT_EQ(reports, 1u) << content;
    EXPECT_NE(content.find("\r\ncount          : 2\r\n"), std::string::npos) << content;
    EXPECT_NE(content.find("00401234 +034 lab.exe Main 123 +4 CrashHere"), std::string::npos);
    EXPECT_EQ(g_actions, (std::vector<int>{1, 4, 1, 4}));
}

TEST_F(ExceptionBox, CountdownPressesItsButtonByItself) {
    e.props["AutoContinue"] = true;
    e.props["AutoDelay"] = int32_t(2);
    TBoxRun run(e);
    TBoxWindows w = FindBox();
    ASSERT_TRUE(w.box);
    PumpFor(900);
    Shot(w.box, "exception_box_countdown");
    ASSERT_TRUE(run.Ends(15000)) << "the countdown never pressed continue";
    EXPECT_EQ(g_actions, std::vector<int>{4});
}

TEST_F(ExceptionBox, HandledCloseKeepsTheBoxAndTheWatchdogClosesIt) {
    e.continuable = false;
    g_claim = 6;
    TBoxRun run(e);
    TBoxWindows w = FindBox();
    ASSERT_TRUE(w.box);
    HWND cont = w.buttons["continue bug report"];
    ASSERT_TRUE(cont);
    EXPECT_FALSE(IsWindowEnabled(cont));
    Shot(w.box, "exception_box_cannot_continue");
    // Escape asks to close; the handler claims the close, so the box stays.
    Key(w.box, VK_ESCAPE);
    PumpUntil([] { return !g_actions.empty(); }, 5000);
    EXPECT_EQ(g_actions, std::vector<int>{6});
    EXPECT_TRUE(IsWindow(w.box));
    SendMessageA(w.box, WM_NULL, 777, 777);
    ASSERT_TRUE(run.Ends());
}

std::vector<std::vector<std::string>> ListRows(HWND list) {
    std::vector<std::vector<std::string>> rows;
    HWND header = reinterpret_cast<HWND>(SendMessageA(list, LVM_GETHEADER, 0, 0));
    const int columns = static_cast<int>(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0));
    const int count = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    for (int r = 0; r < count; ++r) {
        std::vector<std::string> row;
        for (int c = 0; c < columns; ++c) {
            char text[256] = {};
            LVITEMA item{};
            item.iSubItem = c;
            item.pszText = text;
            item.cchTextMax = sizeof text;
            SendMessageA(list, LVM_GETITEMTEXTA, r, reinterpret_cast<LPARAM>(&item));
            row.push_back(text);
        }
        rows.push_back(row);
    }
    return rows;
}

void SelectTab(const TBoxWindows& w, int index) {
    SendMessageA(w.tabs[0], TCM_SETCURSEL, index, 0);
    NMHDR note{w.tabs[0], static_cast<UINT_PTR>(GetDlgCtrlID(w.tabs[0])),
               static_cast<UINT>(TCN_SELCHANGE)};
    SendMessageA(w.box, WM_NOTIFY, note.idFrom, reinterpret_cast<LPARAM>(&note));
}

TEST_F(ExceptionBox, ExpandedModeListsTheCallStacks) {
    e.props["AutoShowBugRep"] = true;
    TBoxRun run(e);
    TBoxWindows w = FindBox();
    ASSERT_TRUE(w.box);
    ASSERT_EQ(w.tabs.size(), 1u) << "no tab control";
    std::vector<std::string> tabs;
    for (int i = 0; i < TabCtrl_GetItemCount(w.tabs[0]); ++i) {
        char caption[64] = {};
        TCITEMA item{};
        item.mask = TCIF_TEXT;
        item.pszText = caption;
        item.cchTextMax = sizeof caption;
        SendMessageA(w.tabs[0], TCM_GETITEMA, i, reinterpret_cast<LPARAM>(&item));
        tabs.push_back(caption);
    }
    EXPECT_EQ(tabs, (std::vector<std::string>{"general", "call stacks", "cpu regs"}));
    EXPECT_EQ(w.buttons.count("show bug report"), 0u);
    Shot(w.box, "exception_box_expanded_general");
    SelectTab(w, 1);
    w = FindBox();
    ASSERT_EQ(w.lists.size(), 1u);
    const auto rows = ListRows(w.lists[0]);
    Shot(w.box, "exception_box_expanded_callstacks");
    // Every stack line of the report text appears as one row, split into its parts.
    const std::string report = e.CompleteReport();
    std::vector<std::vector<std::string>> stackRows;
    for (const auto& row : rows)
        if (row[0] != ">>" && !row[0].empty()) stackRows.push_back(row);
    ASSERT_EQ(stackRows.size(), 5u);
    // The oracle: the report's own lines cut at blanks, compared ignoring case (the
    // address column is shown in upper case).
    auto lower = [](std::string t) {
        for (char& c : t)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return t;
    };
    std::vector<std::vector<std::string>> reportLines;
    std::istringstream lines(lower(report));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::vector<std::string> tokens;
        for (std::string word; words >> word;)
            tokens.push_back(word);
        reportLines.push_back(tokens);
    }
    for (const auto& row : stackRows) {
        std::vector<std::string> cells;
        for (const std::string& cell : row)
            cells.push_back(lower(cell));
        EXPECT_NE(std::find(reportLines.begin(), reportLines.end(), cells), reportLines.end())
            << row[0];
    }
    EXPECT_EQ(stackRows[0][6], "CrashHere");
    EXPECT_EQ(stackRows[0][4], "123");
    EXPECT_EQ(stackRows[3][2], "kernel32.dll");
    SelectTab(w, 2);
    w = FindBox();
    ASSERT_EQ(w.lists.size(), 1u);
    const auto regs = ListRows(w.lists[0]);
    ASSERT_EQ(regs.size(), 4u);
    EXPECT_EQ(regs[1], (std::vector<std::string>{"ebx", "0012ff00"}));
    Shot(w.box, "exception_box_expanded_registers");
    PostMessageA(w.box, WM_CLOSE, 0, 0);
    ASSERT_TRUE(run.Ends());
}

TEST_F(ExceptionBox, MessageBoxModes) {
    e.mode = 2;
    {
        TBoxRun run(e);
        TBoxWindows w = FindBox();
        ASSERT_TRUE(w.box);
        EXPECT_EQ(w.buttons.size(), 2u);
        ASSERT_TRUE(w.buttons.count("&OK") && w.buttons.count("&Details"));
        EXPECT_EQ(Height(w.buttons["&OK"]), 23);
        bool message = false;
        for (HWND s : w.statics)
            message = message || WindowText(s) == "Access violation at address 00401234 in module "
                                                  "'lab.exe'.\r\nRead of address 00000000.";
        EXPECT_TRUE(message);
        Shot(w.box, "exception_box_message_details");
        // Details reopens the box expanded.
        Click(w.buttons["&Details"]);
        PumpUntil([&] { return !IsWindow(w.box); }, 5000);
        TBoxWindows expanded = FindBox();
        ASSERT_TRUE(expanded.box);
        EXPECT_EQ(expanded.tabs.size(), 1u);
        PostMessageA(expanded.box, WM_CLOSE, 0, 0);
        ASSERT_TRUE(run.Ends());
    }
    e.mode = 3;
    e.props.erase("AutoShowBugRep");
    TBoxRun run(e);
    TBoxWindows w = FindBox();
    ASSERT_TRUE(w.box);
    EXPECT_EQ(w.buttons.size(), 1u);
    EXPECT_EQ(w.buttons.count("&OK"), 1u);
    Shot(w.box, "exception_box_message");
    Key(w.buttons["&OK"], VK_RETURN);
    ASSERT_TRUE(run.Ends());
}

} // namespace
