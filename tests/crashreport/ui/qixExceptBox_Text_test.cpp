// The box's text rules checked against hand-made report excerpts: where the message
// breaks, which columns the parsers find, and the countdown's end points.
#include "crashreport/ui/qixExceptBox_Text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace qix;
using ::testing::ElementsAre;

namespace {

std::vector<std::string> Texts(const TBoxTable& table) {
    std::vector<std::string> rows;
    for (const TBoxItem& item : table.items)
        rows.push_back(item.text);
    return rows;
}
std::vector<std::string> Captions(const TBoxTable& table) {
    std::vector<std::string> captions;
    for (const TBoxColumn& column : table.columns)
        captions.push_back(column.caption);
    return captions;
}

TEST(ExceptBoxText, MessageBreaksOnlyInsideTheMiddle) {
    // Full stops at blank positions 8 (too early), 47 (inside) and the end (too late).
    const std::string message = "Failed. Access violation at address 00401000. Read of 0.";
    EXPECT_EQ(BreakMessageLines(message),
              "Failed. Access violation at address 00401000.\r\nRead of 0.");
    EXPECT_EQ(BreakMessageLines("Short. Text."), "Short. Text.");
    EXPECT_EQ(BreakMessageLines(""), "");
}

TEST(ExceptBoxText, ColumnSpecPrefixes) {
    const auto columns = ParseColumnSpec("^handle|file name| version");
    ASSERT_EQ(columns.size(), 3u);
    EXPECT_TRUE(columns[0].uppercase);
    EXPECT_EQ(columns[0].caption, "handle");
    EXPECT_EQ(columns[1].alignment, 0);
    EXPECT_EQ(columns[2].alignment, 1);
    EXPECT_EQ(columns[2].caption, "version");
}

TEST(ExceptBoxText, ModulesSplitAtAlignedBlanks) {
    const std::string text =
        "00400000 lab.exe      1.2.0.0  C:\\lab\\lab.exe\r\n"
        "7c800000 kernel32.dll 5.1.2600 C:\\windows\\system32\\kernel32.dll\r\n"
        "7c900000 ntdll.dll    5.1.2600 C:\\windows\\system32\\ntdll.dll";
    // Strict mode wants two other lines agreeing, hence three modules.
    TContentFont font;
    const TBoxTable table = ParseTabContent(3, "modules", text, font);
    EXPECT_THAT(Captions(table), ElementsAre("handle", "file name", "version", "path"));
    EXPECT_THAT(Texts(table),
                ElementsAre("00400000\tlab.exe     \t1.2.0.0 \tC:\\lab\\lab.exe",
                            "7c800000\tkernel32.dll\t5.1.2600\tC:\\windows\\system32\\kernel32.dll",
                            "7c900000\tntdll.dll   \t5.1.2600\tC:\\windows\\system32\\ntdll.dll"));
}

TEST(ExceptBoxText, ThreadsOfDifferentWidthsGiveOneList) {
    // Each thread is measured alone: the second has a longer module column.
    const std::string text = ">> main thread ($1a4)\r\n"
                             "00401234 +034 lab.exe Main 123 +4 Crash\r\n"
                             "00401300 +010 lab.exe Main  99 +0 Run\r\n"
                             "\r\n"
                             ">> worker ($2b0)\r\n"
                             "7c801000 +100 kernel32.dll Worker 7 +1 Wait\r\n"
                             "7c802000 +200 kernel32.dll Worker 8 +2 Loop";
    TContentFont font;
    const TBoxTable table = ParseTabContent(1, "", text, font);
    EXPECT_THAT(Captions(table),
                ElementsAre("address", "rel.", "module", "unit", "line", "rel.", "function"));
    EXPECT_EQ(table.columns[4].alignment, 1);
    EXPECT_THAT(Texts(table),
                ElementsAre(">> main thread ($1a4)",
                            "00401234\t+034\tlab.exe\tMain\t123\t+4\tCrash",
                            "00401300\t+010\tlab.exe\tMain\t99\t+0\tRun", "", ">> worker ($2b0)",
                            "7c801000\t+100\tkernel32.dll\tWorker\t7\t+1\tWait",
                            "7c802000\t+200\tkernel32.dll\tWorker\t8\t+2\tLoop"));
    EXPECT_TRUE(table.items[0].groupTitle);
    EXPECT_TRUE(table.items[4].groupTitle);
    EXPECT_FALSE(table.items[1].groupTitle);
    EXPECT_TRUE(table.columns[1].uppercase);
}

TEST(ExceptBoxText, CreationStackStaysWithItsThread) {
    const std::string text = ">> worker ($2b0)\r\n"
                             "7c801000 kernel32.dll Wait\r\n"
                             ">> created by main thread ($1a4) at:\r\n"
                             "00401234 lab.exe      StartWorker";
    const TBoxTable table = ParseThreadList(text);
    // One piece: the wider module column of the second part aligns both parts.
    EXPECT_THAT(Texts(table), ElementsAre(">> worker ($2b0)", "7c801000\tkernel32.dll\tWait",
                                          ">> created by main thread ($1a4) at:",
                                          "00401234\tlab.exe\tStartWorker"));
    EXPECT_FALSE(table.items[2].groupTitle);
}

TEST(ExceptBoxText, DisassemblyMarksTheCrashLine) {
    const std::string text = "00401230      mov eax, [ebp-4]\r\n"
                             "00401233    > mov [eax], edx      ; crash\r\n"
                             "00401235      ret";
    TContentFont font;
    const TBoxTable table = ParseTabContent(4, "disassembling", text, font);
    EXPECT_EQ(font, TContentFont::Fixed);
    EXPECT_THAT(Captions(table), ElementsAre("address", "line", "asm code", "comments"));
    ASSERT_EQ(table.items.size(), 3u);
    EXPECT_EQ(table.items[1].background, 0xD0D0FFu);
    EXPECT_EQ(table.items[0].background, 0u);
    EXPECT_NE(table.items[1].text.find("\t; crash"), std::string::npos);
    EXPECT_EQ(table.items[1].text.substr(0, 9), "00401233\t");
}

TEST(ExceptBoxText, GenericTextPlusMinusAndFallBack) {
    TContentFont font;
    const TBoxTable tree = ParseTabContent(5, "objects", "+ form\r\n  - button\r\n+ timer", font);
    ASSERT_EQ(tree.columns.size(), 1u);
    EXPECT_EQ(tree.items[0].background, 0xFFF8F0u);
    EXPECT_EQ(tree.items[1].background, 0u);
    EXPECT_EQ(tree.items[1].text, "\xA0\xA0- button");
    // Mostly long lines: no list, the edit shows the text.
    const std::string longLine(100, 'x');
    EXPECT_FALSE(ParseGenericText(longLine + "\r\n" + longLine + "\r\nshort").Usable());
    EXPECT_FALSE(ParseGenericText(">> will be calculated soon").Usable());
}

TEST(ExceptBoxText, TabCaptions) {
    EXPECT_THAT(WantedTabCaptions(
                    {"main ($1)", "worker ($2)", "cpu registers", "stack dump", "disassembling"}),
                ElementsAre("general", "call stacks", "cpu regs", "stack dump", "disasm"));
    EXPECT_THAT(WantedTabCaptions({"main ($1)", "modules"}),
                ElementsAre("general", "call stack", "modules"));
    EXPECT_EQ(ThreadSectionCount({"modules"}), 1);
}

TEST(ExceptBoxText, CountdownRunsFromStartToEnd) {
    for (bool classic : {false, true}) {
        const int32_t start = classic ? 5 : 0;
        EXPECT_EQ(CountdownX(0, 120, 10, classic), start);
        EXPECT_EQ(CountdownX(10000, 120, 10, classic), CountdownEnd(120, classic));
        EXPECT_LT(CountdownX(9900, 120, 10, classic), CountdownEnd(120, classic));
        // Half-way lies half-way along the span, rounded.
        EXPECT_EQ(CountdownX(5000, 120, 10, classic), classic ? 5 + 55 : 60);
    }
}

TEST(ExceptBoxText, ButtonWidths) {
    EXPECT_EQ(ButtonWidth(50, false, false), 0);
    EXPECT_EQ(ButtonWidth(50, true, false), 89);
    EXPECT_EQ(ButtonWidth(20, true, true), 79);
    EXPECT_EQ(ButtonWidth(40, true, true), 79);
    EXPECT_EQ(ButtonWidth(36, true, true), 75);
}

// The page of a web-server process carries report text and settings verbatim: markup
// characters in either must not become markup.
TEST(ExceptBoxText, ReportPageEscapesAndBreaks) {
    THtmlTexts texts;
    texts.title = "Lab & co";
    texts.message = "first%LF%second\r\nthird <b>";
    texts.continueCaption = "go \"on\"";
    texts.showCaption = "show";
    texts.showButton = true;
    const std::string page = RenderReportHtml("a < b && c > d</textarea>", texts);
    EXPECT_NE(page.find("<title>Lab &amp; co</title>"), std::string::npos);
    EXPECT_NE(page.find(">first<br>\r\nsecond<br>\r\nthird &lt;b&gt;</p>"), std::string::npos);
    EXPECT_NE(page.find("value=\"go &quot;on&quot;\""), std::string::npos);
    EXPECT_NE(page.find(">a &lt; b &amp;&amp; c &gt; d&lt;/textarea&gt;</textarea>"),
              std::string::npos);
    EXPECT_NE(page.find("display:none;"), std::string::npos);
    EXPECT_NE(page.find("value=\"show\""), std::string::npos);
    texts.showButton = false;
    texts.reportVisible = true;
    const std::string shown = RenderReportHtml("r", texts);
    EXPECT_EQ(shown.find("display:none"), std::string::npos);
    EXPECT_EQ(shown.find("value=\"show\""), std::string::npos);
}

} // namespace
