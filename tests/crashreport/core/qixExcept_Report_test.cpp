// Header lines and their number formats. Expected texts are worked out by hand from
// the report format, not taken from the code's output.
#include "crashreport/core/qixExcept_Report.h"
#include "crashreport/core/qixExcept_RaisedObject.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace qix;

TEST(ReportFormats, UpTimeShowsTwoUnitsAndDropsZeroParts) {
    EXPECT_EQ(UpTimeText(0), "");
    EXPECT_EQ(UpTimeText(-5), "");
    EXPECT_EQ(UpTimeText(1), "1 second");
    EXPECT_EQ(UpTimeText(59), "59 seconds");
    EXPECT_EQ(UpTimeText(60), "1 minute");
    EXPECT_EQ(UpTimeText(301), "5 minutes 1 second");
    EXPECT_EQ(UpTimeText(3599), "59 minutes 59 seconds");
    EXPECT_EQ(UpTimeText(3600), "1 hour");
    EXPECT_EQ(UpTimeText(7200 + 59), "2 hours"); // seconds fall away with hours
    EXPECT_EQ(UpTimeText(86399), "23 hours 59 minutes");
    EXPECT_EQ(UpTimeText(86400), "1 day");
    EXPECT_EQ(UpTimeText(86400 + 3 * 3600 + 59 * 60), "1 day 3 hours");
    EXPECT_EQ(UpTimeText(2 * 86400 + 3600), "2 days 1 hour");
    // 2^31 seconds: 24855 days 3 hours 14 minutes 8 seconds.
    EXPECT_EQ(UpTimeText(2147483648LL), "24855 days 3 hours");
}

TEST(ReportFormats, SizeTextAtUnitEdges) {
    EXPECT_EQ(SizeText(0), "0 Bytes");
    EXPECT_EQ(SizeText(1023), "1023 Bytes");
    EXPECT_EQ(SizeText(1024), "1,00 KB");
    EXPECT_EQ(SizeText(1536), "1,50 KB");
    EXPECT_EQ(SizeText(1536, "."), "1.50 KB");
    EXPECT_EQ(SizeText(1034), "1,00 KB"); // 1034*100/1024 = 100.97, cut
    EXPECT_EQ(SizeText(1035), "1,01 KB"); // 101.07
    EXPECT_EQ(SizeText(1048575), "1023,99 KB");
    EXPECT_EQ(SizeText(1048576), "1,00 MB");
    EXPECT_EQ(SizeText(1073741823), "1023,99 MB");
    EXPECT_EQ(SizeText(1073741824), "1,00 GB");
    EXPECT_EQ(SizeText(5368709120ULL), "5,00 GB");
    // 2^64-1 bytes: 2^44-1 MB; *100/1024 = 1717986918399 hundredths.
    EXPECT_EQ(SizeText(UINT64_MAX), "17179869183,99 GB");
}

TEST(ReportFormats, HexAndTimes) {
    EXPECT_EQ(HexDollar(0), "$0");
    EXPECT_EQ(HexDollar(0x9F4), "$9f4");
    EXPECT_EQ(HexDollar(0xffffffff), "$ffffffff");
    EXPECT_EQ(HexDollar(0xa1b2c3d, 8), "$0a1b2c3d");
    EXPECT_EQ(Hex8(0), "00000000");
    EXPECT_EQ(Hex8(0x40100A), "0040100a");
    EXPECT_EQ(ReportDateTimeText({2026, 12, 6, 14, 3, 2, 7}), "2026-12-06, 14:03:02, 7ms");
    EXPECT_EQ(ReportDateTimeText({999, 1, 1, 0, 0, 0, 999}), "0999-01-01, 00:00:00, 999ms");
    EXPECT_EQ(FileDateTimeText({2026, 12, 1, 9, 30, 45, 500}), "2026-12-01 09:30");
    EXPECT_EQ(CallstackCrcText({0x0a1b2c3d, 0, 0xffffffff}), "$0a1b2c3d, $00000000, $ffffffff");
    EXPECT_EQ(CallstackCrcText({1, 2, 3}).size(), 31u);
}

TEST(ReportFormats, OsNamesAtTheirBuildAndVersionEdges) {
    const uint32_t k9x = kPlatformWin9x, kNt = kPlatformNT;
    EXPECT_EQ(OsName(k9x, 3, 95, 0), "None");
    EXPECT_EQ(OsName(k9x, 4, 0, 1000), "Windows 95");
    EXPECT_EQ(OsName(k9x, 4, 0, 1001), "Windows 95 OSR-2");
    EXPECT_EQ(OsName(k9x, 4, 0, 0x040003e8), "Windows 95"); // only the low 16 bits count
    EXPECT_EQ(OsName(k9x, 4, 10, 2000), "Windows 98");
    EXPECT_EQ(OsName(k9x, 4, 10, 2001), "Windows 98 SE");
    EXPECT_EQ(OsName(k9x, 4, 10, 2700), "Windows 98 SE");
    EXPECT_EQ(OsName(k9x, 4, 10, 2701), "Windows ME");
    EXPECT_EQ(OsName(k9x, 4, 11, 0), "Windows ME");
    EXPECT_EQ(OsName(k9x, 4, 90, 0), "Windows ME");
    EXPECT_EQ(OsName(k9x, 4, 91, 0), "Windows 9x New");
    EXPECT_EQ(OsName(k9x, 5, 0, 0), "Windows 9x New");
    EXPECT_EQ(OsName(kNt, 3, 51, 0), "Windows NT 3");
    EXPECT_EQ(OsName(kNt, 4, 0, 0), "Windows NT 4");
    EXPECT_EQ(OsName(kNt, 5, 0, 0), "Windows 2000");
    EXPECT_EQ(OsName(kNt, 5, 1, 0), "Windows XP");
    EXPECT_EQ(OsName(kNt, 5, 2, 0), "Windows 2003");
    EXPECT_EQ(OsName(kNt, 5, 3, 0), "Windows NT New");
    EXPECT_EQ(OsName(kNt, 10, 0, 19045), "Windows NT New");
    EXPECT_EQ(OsName(0, 5, 1, 0), "None");
}

TEST(RaisedObject, ClassNameMessageAndValidity) {
    const TRaisedObjectInfo none;
    EXPECT_FALSE(PassesValidityTest(none));
    EXPECT_EQ(ObjectClassName(none), "Unknown");
    EXPECT_EQ(FormatObjectMessage(RawObjectMessage(none)), "Unknown.");

    TRaisedObjectInfo error{true, {"EConvertError", "Exception"}, "Bad\x01 number\t!!"};
    EXPECT_TRUE(PassesValidityTest(error));
    EXPECT_EQ(ObjectClassName(error), "EConvertError");
    EXPECT_EQ(RawObjectMessage(error), "Bad number!!"); // controls gone, then trimmed
    EXPECT_EQ(FormatObjectMessage(RawObjectMessage(error)), "Bad number.");
    EXPECT_EQ(FormatObjectMessage("Disk full!"), "Disk full.");
    EXPECT_EQ(FormatObjectMessage("Really?.!.!"), "Really?.");
    EXPECT_EQ(FormatObjectMessage(std::string("x.\0!", 4)), "x.");
    EXPECT_EQ(FormatObjectMessage("..."), ".");

    TRaisedObjectInfo empty{true, {"EFoo", "QixException"}, " \r\n "};
    EXPECT_EQ(RawObjectMessage(empty), "Unknown");

    // Not an exception class: the message is the class name.
    TRaisedObjectInfo plain{true, {"TPoint", "TObject"}, "ignored"};
    EXPECT_EQ(RawObjectMessage(plain), "TPoint");

    TRaisedObjectInfo garbage{true, {"EOk", std::string("E\x90\x01", 3)}, "m"};
    EXPECT_FALSE(PassesValidityTest(garbage));
    EXPECT_EQ(ObjectClassName(garbage), "Unknown");
    EXPECT_FALSE(PassesValidityTest({true, {}, "m"}));
    EXPECT_FALSE(PassesValidityTest({true, {std::string(256, 'E')}, "m"}));
    EXPECT_TRUE(PassesValidityTest({true, {std::string(255, 'E')}, "m"}));
    EXPECT_FALSE(PassesValidityTest({true, {" lead"}, "m"}));
}

namespace {

TReportSystemInfo FullSystem() {
    TReportSystemInfo s;
    s.now = TLocalTime{2026, 12, 6, 14, 3, 2, 7};
    s.computerName = "BUILDBOX";
    s.userName = "alice";
    s.userIsAdmin = true;
    s.os = TOsVersion{kPlatformNT, 5, 1, 2600, "Service Pack 3"};
    s.systemLanguage = "English";
    s.performanceCounter = {(86400 + 3 * 3600 + 59) * 1000LL, 1000};
    s.programMilliseconds = 250;
    s.processorName = "  Intel(R) Core(TM) i5 ";
    s.processorCount = 4;
    // Rounding to whole MB: just below half a MB rounds down, exactly half rounds up.
    s.physicalMemory = {1048576ULL * 1500 + 524287, 1048576ULL * 4096 - 524288};
    s.windowsDisk = TDiskSpace{'c', 1536};
    s.executableDisk = TDiskSpace{'D', 5368709120ULL};
    s.display = TDisplayMode{1024, 768, 16, 2};
    s.processId = 0x1a2c;
    s.allocatedBytes = 1048575;
    s.commandLine = "C:\\app\\crashlab.exe av\r\n  write";
    s.executablePath = "C:\\app\\crashlab.exe";
    s.fileTime = TLocalTime{2026, 12, 1, 9, 30, 0, 0};
    s.fileVersion = TFileVersion{2, 1, 0, 7};
    return s;
}

std::vector<TReportPlugin> Plugins() {
    return {{"Extra", false, [] { return std::string("x=1"); }},
            {"hardware", true, [] { return std::string("a section"); }},
            {"boom", false, []() -> std::string { throw std::runtime_error("plug-in failed"); }}};
}

std::string Joined(const THeaderLines& lines) {
    TIQXFields header, sections;
    header.AcceptData();
    StoreHeaderLines(header, lines);
    return JoinReportText(header, sections);
}

} // namespace

TEST(ReportHeader, AllLinesInOrderPaddedToTheLongestName) {
    THeaderInput input;
    input.object = {true,
                    {"EAccessViolation", "EExternal", "Exception"},
                    "Access violation at address 0040100A. Write of address 00000000!!"};
    input.pluginsSetting = "modules|extra|boom|hardware";
    input.plugins = Plugins();
    TExceptionCounter counter;
    const THeaderLines lines = ComposeHeaderLines(FullSystem(), input, counter);
    const std::string expected =
        "date/time        : 2026-12-06, 14:03:02, 7ms\r\n"
        "computer name    : BUILDBOX\r\n"
        "user name        : alice <admin>\r\n"
        "operating system : Windows XP Service Pack 3 build 2600\r\n"
        "system language  : English\r\n"
        "system up time   : 1 day 3 hours\r\n"
        "program up time  : 250 milliseconds\r\n"
        "processors       : 4x Intel(R) Core(TM) i5\r\n"
        "physical memory  : 1500/4096 MB (free/total)\r\n"
        "free disk space  : (C:) 1,50 KB (D:) 5,00 GB\r\n"
        "display mode     : 1024x768, 32 bit\r\n"
        "process id       : $1a2c\r\n"
        "allocated memory : 1023,99 KB\r\n"
        "command line     : C:\\app\\crashlab.exe av write\r\n"
        "executable       : crashlab.exe\r\n"
        "exec. date/time  : 2026-12-01 09:30\r\n"
        "version          : 2.1.0.7\r\n"
        "qixExcept version: 3.0b\r\n"
        "Extra            : x=1\r\n"
        "callstack crc    : will be calculated soon\r\n"
        "exception number : 1\r\n"
        "exception class  : EAccessViolation\r\n"
        "exception message: Access violation at address 0040100A. Write of address 00000000.";
    EXPECT_EQ(Joined(lines), expected);
    // 19 lines come before "callstack crc"; handlers' fields go in before the last of them.
    EXPECT_EQ(lines.addPosition, 18);
    EXPECT_EQ(lines.lines[2].second, "alice  <admin>"); // the joined text collapses blanks
}

namespace {
// A 9x-era machine where most queries fail.
TReportSystemInfo SparseSystem() {
    TReportSystemInfo s;
    s.computerName = "PC";
    s.wtsClientName = "";              // collected, but leaves no line
    s.programMilliseconds = 61 * 1000; // a minute and a second
    s.performanceCounter = {5, 0};     // no frequency: the line is dropped
    s.currentModule = "C:\\lib\\qix.dll";
    s.fileTime = TLocalTime{2026, 1, 2, 3, 4, 5, 6};
    s.fileTimeOfExecutable = false;
    s.versionVar = "7.7 beta";
    s.fileVersion = TFileVersion{1, 2, 3, 4};
    s.bdeVersion = TFileVersion{0, 0, 0, 0};
    s.freeResources = {5, 77};
    s.windowsDisk = TDiskSpace{0, 99}; // a UNC path gives no text

    return s;
}
} // namespace

TEST(ReportHeader, FreezeAndPlainObjectsAndMissingValues) {
    const TReportSystemInfo s = SparseSystem();
    THeaderInput freeze;
    freeze.kind = TReportKind::Freeze;
    freeze.frozenMessage = "The application seems to be frozen.";
    freeze.object = {true, {"EFoo", "Exception"}, "unused"};
    TExceptionCounter counter;
    const THeaderLines lines = ComposeHeaderLines(s, freeze, counter);
    EXPECT_EQ(Joined(lines), "computer name    : PC\r\n"
                             "program up time  : 1 minute 1 second\r\n"
                             "system resources : 05/77 (gdi/user)\r\n"
                             "current module   : qix.dll\r\n"
                             "module date/time : 2026-01-02 03:04\r\n"
                             "version          : 7.7 beta\r\n"
                             "qixExcept version: 3.0b\r\n"
                             "callstack crc    : will be calculated soon\r\n"
                             "exception number : 1\r\n"
                             "exception message: The application seems to be frozen.");
    // Collected before the checksum line, empty ones included: computer, wts, program up
    // time, resources, disk, module, date, version, bde, qixExcept version = 10.
    EXPECT_EQ(lines.addPosition, 9);

    THeaderInput plain;
    plain.object = {true, {"TPoint", "TObject"}, std::nullopt};
    const std::string text = Joined(ComposeHeaderLines(TReportSystemInfo(), plain, counter));
    EXPECT_EQ(text, "qixExcept version: 3.0b\r\n"
                    "callstack crc    : will be calculated soon\r\n"
                    "exception number : 2\r\n"
                    "exception class  : TPoint");
}

namespace {
TReportSystemInfo QuickSystem() {
    TReportSystemInfo s;
    s.programMilliseconds = 999;
    s.processorName = "CPU";
    return s;
}
} // namespace

TEST(ReportHeader, ShortMillisecondUpTimeAndSingleProcessor) {
    const TReportSystemInfo s = QuickSystem();
    TExceptionCounter counter;
    const THeaderLines lines = ComposeHeaderLines(s, {}, counter);
    ASSERT_GE(lines.lines.size(), 2u);
    EXPECT_EQ(lines.lines[0], (THeaderLine{"program up time", "999 milliseconds"}));
    EXPECT_EQ(lines.lines[1], (THeaderLine{"processor", "CPU"}));
    const uint64_t first = ProcessExceptionCounter().Next();
    EXPECT_EQ(ProcessExceptionCounter().Next(), first + 1);
}

TEST(ReportHeader, HandlerFieldsLandAtTheAddPosition) {
    THeaderLines lines;
    lines.lines = {{"a", "1"}, {"b", ""}, {"c", "3"}, {"callstack crc", "soon"}};
    lines.addPosition = 2;
    TIQXFields header;
    header.AcceptData();
    StoreHeaderLines(header, lines);
    header.Add("handler field", "h");
    EXPECT_EQ(header.Item(2), "handler field");
    EXPECT_EQ(header.Item(3), "callstack crc");
    header.Add("Exception Number", "first");
    header.Add("exception number", "second"); // names compare ignoring case
    EXPECT_EQ(header.FindItem("EXCEPTION NUMBER"), 3);
    EXPECT_EQ(header.Contents("Exception Number"), "second");
    header.Add("exception number", "");
    EXPECT_EQ(header.FindItem("exception number"), -1);
}

namespace app {
struct Exception : std::runtime_error {
    using std::runtime_error::runtime_error;
};
} // namespace app
struct ETagged {
    virtual ~ETagged() = default;
    int tag = 7;
};
struct EDiskFull : ETagged, app::Exception { // the message base is not the first one
    EDiskFull() : app::Exception("Disk full!") {}
};
struct TPlain {
    int x = 0;
};

TEST(RaisedObject, CxxObjectsGiveClassChainAndMessage) {
    const app::Exception simple("Range check error");
    const TRaisedObjectInfo a = DescribeCxxObject(&typeid(simple), &simple);
    EXPECT_EQ(a.classChain,
              (std::vector<std::string>{"app::Exception", "std::runtime_error", "std::exception"}));
    EXPECT_EQ(a.message, "Range check error");
    EXPECT_TRUE(PassesValidityTest(a));
    EXPECT_EQ(FormatObjectMessage(RawObjectMessage(a)), "Range check error.");

    const EDiskFull full;
    const TRaisedObjectInfo b = DescribeCxxObject(&typeid(full), &full);
    EXPECT_EQ(b.classChain, (std::vector<std::string>{"EDiskFull", "ETagged", "app::Exception",
                                                      "std::runtime_error", "std::exception"}));
    EXPECT_EQ(b.message, "Disk full!"); // found through the second base
    EXPECT_EQ(FormatObjectMessage(RawObjectMessage(b)), "Disk full.");

    const TPlain plain;
    const TRaisedObjectInfo c = DescribeCxxObject(&typeid(plain), &plain);
    EXPECT_EQ(c.classChain, std::vector<std::string>{"TPlain"});
    EXPECT_FALSE(c.message.has_value());
    EXPECT_EQ(RawObjectMessage(c), "TPlain");

    const int number = 42;
    EXPECT_EQ(ObjectClassName(DescribeCxxObject(&typeid(number), &number)), "int");
    const char* text = "thrown text";
    EXPECT_EQ(ObjectClassName(DescribeCxxObject(&typeid(text), &text)), "char const*");
    EXPECT_FALSE(DescribeCxxObject(nullptr, nullptr).present);

    const std::bad_alloc noMemory;
    const TRaisedObjectInfo d = DescribeCxxObject(&typeid(noMemory), &noMemory);
    EXPECT_EQ(d.classChain, (std::vector<std::string>{"std::bad_alloc", "std::exception"}));
    EXPECT_EQ(RawObjectMessage(d), "std::bad_alloc"); // what() of the library itself
}
