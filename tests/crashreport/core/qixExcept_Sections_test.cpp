// Thread sections: titles, order, placeholders, machine-state texts and the completion.
#include "crashreport/core/qixExcept_Sections.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#ifndef _WIN32
#include <unistd.h>
#endif

using namespace qix;

TEST(ThreadSections, TitlesFollowTheRegistry) {
    const TThreadRegistryEntry main{"main thread", "", 0, 0};
    const TThreadRegistryEntry hidden{"-", "TPinger", 0, 0};
    const TThreadRegistryEntry unnamed{"", "TPinger", 0x9f4, 0x401000};
    EXPECT_EQ(ThreadTitle(0x9F4, &main, true, false), "main thread ($9f4)");
    EXPECT_EQ(ThreadTitle(0x1A2C, &main, false, false), "thread $1a2c"); // registry busy
    EXPECT_EQ(ThreadTitle(0x1A2C, nullptr, true, false), "thread $1a2c");
    EXPECT_EQ(ThreadTitle(0x10, &hidden, true, false), "");
    EXPECT_EQ(ThreadTitle(0x10, &hidden, true, true), "thread $10 (TPinger)");
    EXPECT_EQ(ThreadTitle(0x10, &unnamed, true, false), "thread $10 (TPinger)");
    const TThreadRegistryEntry bare{"", "", 0, 0};
    EXPECT_EQ(ThreadTitle(0xffffffff, &bare, true, false), "thread $ffffffff");
}

TEST(ThreadSections, ListOrder) {
    TThreadListInput in;
    in.crashedThreadId = 7;
    in.mainThreadId = 1;
    in.processThreads = {1, 5, 7, 9, 3, 5, 11};
    in.helperThreads = {9, 11};
    const auto ids = [](const std::vector<TListedThread>& list) {
        std::string out;
        for (const auto& t : list)
            out += std::to_string(t.id) + (t.crashed ? "*" : "") + ",";
        return out;
    };
    EXPECT_EQ(ids(ListReportThreads(in)), "7*,1,5,3,");
    in.crashedThreadId = 1; // the main thread crashed: listed once, first
    EXPECT_EQ(ids(ListReportThreads(in)), "1*,5,7,3,");
    in.freeze = true; // main first, nothing marked crashed
    in.crashedThreadId = 9;
    EXPECT_EQ(ids(ListReportThreads(in)), "1,5,7,3,");
    in.listThreads = false;
    EXPECT_EQ(ids(ListReportThreads(in)), "1,");
    in.freeze = false;
    in.crashedThreadId = 5;
    EXPECT_EQ(ids(ListReportThreads(in)), "5*,1,");
}

namespace {
std::string Describe(TAddress a) {
    return Hex8(a) + " crashlab.exe";
}
} // namespace

TEST(ThreadSections, RecordsCarryStateMarksAndPlaceholders) {
    TThreadProbe probe;
    probe.contextRead = true;
    probe.suspended = true;
    probe.instructionPointer = 0x401234;
    probe.stackPointer = 0x12f000;
    probe.framePointer = 0x12f010;
    probe.stackTop = 0x130000;
    TCrashInfo crash{0x40100a, 0x12fe00, 0, true, false};
    const TThreadRegistryEntry worker{"", "", 0x9f4, 0x401500};

    auto other = MakeThreadRecord(0x20, "thread $20", false, probe, crash, &worker,
                                  "main thread ($9f4)", Describe);
    EXPECT_EQ(other.title, "thread $20: <suspended>");
    EXPECT_EQ(other.address, 0x401234u);
    EXPECT_FALSE(other.external);
    EXPECT_EQ(other.creatorTitle, "main thread ($9f4)");
    EXPECT_EQ(other.placeholder, "00401234 crashlab.exe\r\n>> stack will be calculated soon");

    probe.suspended = false;
    probe.priority = -2;
    auto crashed =
        MakeThreadRecord(0x9f4, "main thread ($9f4)", true, probe, crash, nullptr, "", Describe);
    EXPECT_EQ(crashed.title, "main thread ($9f4): <priority:-2>");
    EXPECT_EQ(crashed.address, 0x40100au);
    EXPECT_EQ(crashed.stackPointer, 0x12fe00u); // the crash context's, when nonzero
    EXPECT_EQ(crashed.framePointer, 0x12f010u); // its own, as the crash gave 0
    EXPECT_TRUE(crashed.external);
    EXPECT_EQ(crashed.creationAddress, 0u);

    probe.contextRead = false;
    auto lost =
        MakeThreadRecord(0x9f4, "main thread ($9f4)", true, probe, crash, nullptr, "", Describe);
    EXPECT_EQ(lost.title, "main thread ($9f4):");
    EXPECT_FALSE(lost.accessible);
    EXPECT_EQ(lost.placeholder,
              ">> stack not accessible, exception location: \r\n0040100a crashlab.exe");
    auto lostOther = MakeThreadRecord(0x20, "thread $20", false, probe, crash, nullptr, "", {});
    EXPECT_EQ(lostOther.placeholder, ">> stack not accessible");

    TSectionSwitches switches;
    switches.haveCrashContext = true;
    switches.pluginsSetting = "modules|Hardware|header";
    const std::vector<TReportPlugin> plugins = {{"header", false, {}}, {"hardware", true, {}}};
    auto plan = PlanSections({crashed, other}, plugins, switches);
    std::string titles;
    for (const auto& [title, body] : plan)
        titles += title + "|";
    EXPECT_EQ(titles, "main thread ($9f4): <priority:-2>|thread $20: <suspended>|hardware|"
                      "cpu registers|stack dump|disassembling|");
    EXPECT_EQ(plan[2].second, ">> will be calculated soon");
    switches.haveCrashContext = false;
    switches.disassemblerAvailable = false;
    EXPECT_EQ(PlanSections({crashed}, {}, switches).size(), 1u);
}

TEST(MachineState, CpuRegisters) {
    const TCpuRegisters c{1, 2, 0xffffffff, 0x10, 0xabcdef, 0, 0x40100a, 0x12ff00, 0x12ff10};
    EXPECT_EQ(GetCpuRegisters(c), "eax = 00000001\r\n"
                                  "ebx = 00000002\r\n"
                                  "ecx = ffffffff\r\n"
                                  "edx = 00000010\r\n"
                                  "esi = 00abcdef\r\n"
                                  "edi = 00000000\r\n"
                                  "eip = 0040100a\r\n"
                                  "esp = 0012ff00\r\n"
                                  "ebp = 0012ff10");
}

TEST(MachineState, StackDumpLinesFullPartialAndCapped) {
    std::vector<uint8_t> bytes = {0x00, 0x01, 0x20, 0x21, 0x41, 0x7e, 0x7f, 0xff,
                                  '0',  '1',  '2',  '3',  '4',  '5',  '6',  '7'};
    for (char c : std::string("abcdefgh"))
        bytes.push_back(static_cast<uint8_t>(c));
    // The region ends 8 bytes after the second line's start.
    EXPECT_EQ(GetStackDump(0x12ff00, bytes),
              "0012ff00  00 01 20 21 41 7e 7f ff - 30 31 32 33 34 35 36 37  ...!A~..01234567\r\n"
              "0012ff10  61 62 63 64 65 66 67 68 "
              "  "                       // in place of "- "
              "                        " // eight missing bytes
              " abcdefgh");
    EXPECT_EQ(GetStackDump(0x1000, std::vector<uint8_t>{'a', 'b', 'c'}),
              // five missing bytes, two blanks for "- ", eight missing bytes
              "00001000  61 62 63 " + std::string(5 * 3 + 2 + 8 * 3, ' ') + " abc");
    EXPECT_EQ(GetStackDump(0x1000, {}), "");

    const std::vector<uint8_t> big(1000, 0x90);
    const std::string dump = GetStackDump(0x2000, big);
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 19); // 20 lines
    EXPECT_NE(dump.find("\r\n00002130  90 90"), std::string::npos);
    EXPECT_EQ(dump.find("00002140"), std::string::npos);

    // From memory: the region's end ends the dump, a missing region gives nothing.
    TBufferMemoryReader memory;
    memory.AddRegion(0x12ff00, bytes);
    EXPECT_EQ(GetStackDump(memory, 0x12ff10),
              "0012ff10  61 62 63 64 65 66 67 68 " + std::string(2 + 8 * 3, ' ') + " abcdefgh");
    EXPECT_EQ(GetStackDump(memory, 0x12ff00), GetStackDump(0x12ff00, bytes));
    EXPECT_EQ(GetStackDump(memory, 0x500000), "");
    memory.AddRegion(0xfffffff0, std::vector<uint8_t>(16, 'z'));
    EXPECT_EQ(GetStackDump(memory, 0xfffffff8),
              "fffffff8  7a 7a 7a 7a 7a 7a 7a 7a " + std::string(2 + 8 * 3, ' ') + " zzzzzzzz");
    TThreadStackRecord sized;
    sized.stackPointer = 0x12f000;
    sized.stackTop = 0x130000;
    EXPECT_EQ(ProgressWeight(sized), 0x1000u * 100);
    sized.stackPointer = 0x131000; // a broken record weighs nothing
    EXPECT_EQ(ProgressWeight(sized), 0u);

    // The last line of the address space ends the dump without wrapping to 0.
    const std::vector<uint8_t> top(16, 'z');
    EXPECT_EQ(GetStackDump(0xfffffff0, top),
              "fffffff0  7a 7a 7a 7a 7a 7a 7a 7a - 7a 7a 7a 7a 7a 7a 7a 7a  zzzzzzzzzzzzzzzz");
}

#ifndef _WIN32
namespace {

// Instruction addresses of a code buffer as objdump disassembles it.
std::set<TAddress> ObjdumpAddresses(const std::vector<uint8_t>& code, TAddress base) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("qix_sections_" + std::to_string(::getpid()) + ".bin");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(code.data()),
               static_cast<std::streamsize>(code.size()));
    char vma[32];
    std::snprintf(vma, sizeof vma, "0x%x", static_cast<unsigned>(base));
    const std::string command = "objdump -D -b binary -mi386 --adjust-vma=" + std::string(vma) +
                                " " + path.string() + " 2>/dev/null";
    std::set<TAddress> addresses;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char line[512];
        const std::regex instruction(R"(^\s*([0-9a-f]+):\t)");
        while (std::fgets(line, sizeof line, pipe)) {
            std::cmatch m;
            if (std::regex_search(line, m, instruction))
                addresses.insert(static_cast<TAddress>(std::stoul(m[1].str(), nullptr, 16)));
        }
        ::pclose(pipe);
    }
    std::filesystem::remove(path);
    return addresses;
}

} // namespace
#endif

TEST(MachineState, DisassemblingMarksTheCrashInstruction) {
    // push ebp; mov ebp,esp; xor eax,eax; mov [eax],eax; pop ebp; ret
    const std::vector<uint8_t> code = {0x55, 0x89, 0xe5, 0x31, 0xc0, 0x89, 0x00, 0x5d, 0xc3};
    // Lengths from the opcode map: 55, 89 /r, 31 /r, 89 /r, 5d, c3.
    const std::set<TAddress> expected = {0x401000, 0x401001, 0x401003,
                                         0x401005, 0x401007, 0x401008};
#ifndef _WIN32
    ASSERT_EQ(ObjdumpAddresses(code, 0x401000), expected)
        << "objdump (binutils) is needed as the oracle";
#endif

    TBufferMemoryReader memory;
    memory.AddRegion(0x401000, code);
    TDisAsmContext context;
    context.Memory = &memory;
    EXPECT_EQ(GetCleartextDisAsm(context, 0, 0x401005, false, 5), "");

    const std::string listing = GetCleartextDisAsm(context, 0x401000, 0x401005, false, 5);
    std::set<TAddress> listed;
    std::vector<std::string> marked;
    size_t start = 0;
    while (start < listing.size()) {
        size_t end = listing.find("\r\n", start);
        if (end == std::string::npos) end = listing.size();
        const std::string line = listing.substr(start, end - start);
        if (line.size() > 8 && std::isxdigit(static_cast<unsigned char>(line[0])))
            listed.insert(static_cast<TAddress>(std::stoul(line.substr(0, 8), nullptr, 16)));
        if (line.find('>') != std::string::npos) marked.push_back(line);
        start = end + 2;
    }
    EXPECT_EQ(listed, expected);
    ASSERT_EQ(marked.size(), 1u) << listing;
    EXPECT_EQ(marked[0].substr(0, 8), "00401005");
}

TEST(ThreadSections, CreatedByLineGoesBeforeTheLastLine) {
    EXPECT_EQ(InsertCreatedBy("00401010 a.exe Worker\r\n00401500 a.exe StartThread", "main ($1)"),
              "00401010 a.exe Worker\r\n>> created by main ($1) at:\r\n00401500 a.exe StartThread");
    EXPECT_EQ(InsertCreatedBy("00401500 a.exe StartThread\r\n", "main ($1)"),
              ">> created by main ($1) at:\r\n00401500 a.exe StartThread\r\n");
    EXPECT_EQ(InsertCreatedBy(">> stack not accessible", "main ($1)"), ">> stack not accessible");
    EXPECT_EQ(InsertCreatedBy("", "main ($1)"), "");
    EXPECT_EQ(InternalErrorText("GetStackDump"), ">> internal error in GetStackDump");
    EXPECT_EQ(InternalErrorText("plugin", "00401000 a.exe"),
              ">> internal error in plugin:\r\n00401000 a.exe");
}

TEST(ThreadSections, CrcUpdateMatchesZlibWithoutInversions) {
    const std::string check = "123456789";
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(check.data()), 9);
    EXPECT_EQ(~Crc32Update(0xffffffff, bytes), 0xCBF43926u); // the published check value
    for (uint32_t start : {0u, 1u, 0x12345678u, 0xffffffffu}) {
        const uint32_t zlibValue =
            static_cast<uint32_t>(~crc32(~start & 0xffffffffUL, bytes.data(), 9));
        EXPECT_EQ(Crc32Update(start, bytes), zlibValue);
    }
}

namespace {

class TFakeSource : public ISectionSource {
public:
    void PrepareStack(const TThreadStackRecord& t) override { log += "prepare " + t.title + ";"; }
    TThreadTrace TraceThread(const TThreadStackRecord& t) override {
        log += "trace " + t.title + ";";
        if (t.threadId == 3) throw std::runtime_error("tracer failed");
        TThreadTrace trace;
        trace.text = Hex8(t.address) + " a.exe Proc\r\n" + Hex8(t.creationAddress) + " a.exe Start";
        trace.crashChecksum = 0x1000 + t.threadId;
        trace.stackChecksum = 0x2000 + t.threadId;
        trace.hasLineInfo = t.threadId != 4;
        trace.functionStart = 0x401000;
        trace.crashAddress = t.address;
        trace.qixEntries = {"a.exe|" + std::to_string(t.threadId)};
        if (abortAfterFirst) abort->store(true);
        return trace;
    }
    std::string DescribeAddress(TAddress a) override { return Hex8(a) + " a.exe"; }
    std::string CpuRegistersText() override { throw ELocatedError("bad context", 0x401234); }
    std::string StackDumpText() override {
        log += "dump;";
        return "00000000  dump";
    }
    std::string DisAsmText(TAddress start, TAddress crash) override {
        log += "disasm;";
        return Hex8(start) + " to " + Hex8(crash);
    }
    std::string PluginText(std::string_view name) override {
        log += "plugin " + std::string(name) + ";";
        return "plugin text";
    }
    void CloseProgress() override { log += "close;"; }
    std::string log;
    bool abortAfterFirst = false;
    std::atomic<bool>* abort = nullptr;
};

class TNoBuilder : public IReportBuilder {
public:
    void FillHeader(TIQXFields& header) override { header.Add("callstack crc", "soon"); }
    void PrepareSections(TIQXFields&) override {}
    void WaitForCompletion() override {}
};

TThreadStackRecord Thread(uint32_t id, TAddress address, TAddress creation, bool accessible) {
    TThreadStackRecord t;
    t.threadId = id;
    t.title = "thread $" + std::to_string(id) + ":";
    t.accessible = accessible;
    t.address = address;
    t.creationAddress = creation;
    t.creatorTitle = "main thread ($1)";
    t.placeholder = accessible ? "soon" : ">> stack not accessible";
    return t;
}

} // namespace

TEST(ThreadSections, CompletionFillsEverySectionInItsOrder) {
    const std::vector<TThreadStackRecord> threads = {
        Thread(1, 0x40100a, 0, true), Thread(2, 0x402000, 0x405000, true),
        Thread(3, 0x403000, 0, true), Thread(4, 0x404000, 0, true), Thread(5, 0, 0, false)};
    TSectionSwitches switches;
    switches.haveCrashContext = true;
    switches.pluginsSetting = "extra";
    const auto plan = PlanSections(threads, {{"extra", true, {}}}, switches);

    TNoBuilder builder;
    TQXReport report(builder);
    StorePlaceholders(*report.SectionFields(), plan);
    TFakeSource source;
    std::atomic<bool> abort{false};
    const TSectionResult result = CompleteThreadSections(source, threads, plan, report, abort);

    EXPECT_EQ(source.log, "prepare thread $1:;prepare thread $2:;prepare thread $3:;"
                          "prepare thread $4:;trace thread $1:;dump;disasm;plugin extra;"
                          "trace thread $2:;trace thread $3:;trace thread $4:;close;");
    auto sections = report.SectionFields();
    EXPECT_EQ(sections->Contents("thread $1:"), "0040100a a.exe Proc\r\n00000000 a.exe Start");
    EXPECT_EQ(sections->Contents("thread $2:"), "00402000 a.exe Proc\r\n"
                                                ">> created by main thread ($1) at:\r\n"
                                                "00405000 a.exe Start");
    EXPECT_EQ(sections->Contents("thread $3:"), ">> internal error in GetThreadReport");
    EXPECT_EQ(sections->Contents("thread $5:"), ">> stack not accessible");
    EXPECT_EQ(sections->Contents("cpu registers"),
              ">> internal error in GetCpuRegisters:\r\n00401234 a.exe");
    EXPECT_EQ(sections->Contents("stack dump"), "00000000  dump");
    EXPECT_EQ(sections->Contents("disassembling"), "00401000 to 0040100a");
    EXPECT_EQ(sections->Contents("extra"), "plugin text");

    // Crash location and stack from thread 1; thread 2 adds its stack checksum, thread 3
    // failed and thread 4 has no line information.
    const uint8_t thread2[4] = {0x02, 0x20, 0x00, 0x00};
    const uint32_t all = static_cast<uint32_t>(~crc32(~0x2001UL & 0xffffffffUL, thread2, 4));
    EXPECT_EQ(result.checksums, (std::array<uint32_t, 3>{0x1001, 0x2001, all}));
    EXPECT_TRUE(report.IsComplete());
    auto header = report.HeaderFields();
    EXPECT_EQ(header->Contents("callstack crc"), CallstackCrcText(result.checksums));
    EXPECT_EQ(header->Contents("a.exe.qix"), "4"); // every trace's entry, the last one stays
}

TEST(ThreadSections, AbortLeavesPlaceholdersAndAnIncompleteReport) {
    const std::vector<TThreadStackRecord> threads = {Thread(1, 0x40100a, 0, true),
                                                     Thread(2, 0x402000, 0, true)};
    const auto plan = PlanSections(threads, {}, TSectionSwitches{});
    TNoBuilder builder;
    TQXReport report(builder);
    StorePlaceholders(*report.SectionFields(), plan);
    TFakeSource source;
    std::atomic<bool> abort{false};
    source.abort = &abort;
    source.abortAfterFirst = true;
    const TSectionResult result = CompleteThreadSections(source, threads, plan, report, abort);
    EXPECT_TRUE(result.aborted);
    EXPECT_FALSE(report.IsComplete());
    EXPECT_EQ(report.SectionFields()->Contents("thread $1:"), "soon");
    EXPECT_EQ(report.SectionFields()->Contents("disassembling"), ">> will be calculated soon");
    EXPECT_NE(source.log.find("close"), std::string::npos); // the alert goes either way
}
