// The stack tracer over stacks laid out here, above the code of a real 32-bit program (see
// tracesample/). Return addresses come from objdump's listing of that program, and every
// printed unit, procedure and line is compared with addr2line: neither oracle shares code
// with the tracer.
#include "crashreport/analysis/qixStackTrace.h"
#include "tests/crashreport/analysis/TraceSample.h"
#include "crashreport/ui/qixProgressAlert.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <unistd.h>

namespace qix {
namespace {

using namespace tracesample;

constexpr TAddress kStackBase = 0x00200000;
constexpr TAddress kStackSize = 0x4000;
constexpr TAddress kForeignCode = 0x00700000; // code of no module
constexpr TAddress kCopyBase = 0x10000000;    // the program's image again, without debug info

class StackTrace : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Sample().Error.empty()) << Sample().Error;
        FProcess.Mem.AddRegion(Sample().Info.ImageStart, Sample().Image);
        FProcess.Mem.AddImage(Sample().Info);
        FProcess.Maps[Sample().Info.ImageStart] = Sample().Map;
    }
    static const TSample& Sample() { return TSample::Get(); }
    static TAddress Ret(const char* caller, const std::string& callee) {
        return Sample().Listing.After(caller, "call   " + callee);
    }
    static TAddress Ret(const char* caller, int level) {
        return Ret(caller, Hex(Sample().Listing.Start(kLevel[level])).substr(2));
    }
    // The chain main -> Level1 -> ... -> Level5, each call's return address in a frame.
    static std::vector<TFrame> Chain() {
        return {{Ret(kMain, 1), {0, 1}},     {Ret(kLevel[1], 2), {2}},
                {Ret(kLevel[2], 3), {3, 4}}, {Sample().Listing.After(kLevel[3], "call   *"), {5}},
                {Ret(kLevel[4], 5), {6}},    {Ret(kLevel[5], 6), {7, 8}}};
    }
    static TAddress CrashInLevel6() { return Sample().Listing.At(kLevel[6], "mov    %eax,0x"); }

    // Lays the frames out from the top of the stack down, with or without saved frame
    // pointers, and fills the request's stack fields.
    void LayOut(const std::vector<TFrame>& frames, bool framePointers, TStackTraceRequest& r) {
        // Every layout gets a stack of its own: the reader keeps the regions it was given.
        const TAddress base = kStackBase + FLayouts++ * 0x10000;
        std::vector<uint8_t> stack(kStackSize, 0);
        TAddress at = base + kStackSize - 16, ebp = 0;
        auto put = [&](uint32_t v) {
            at -= 4;
            std::memcpy(&stack[at - base], &v, 4);
        };
        for (const TFrame& f : frames) {
            put(f.Return);
            if (framePointers) {
                put(ebp);
                ebp = at;
            }
            for (uint32_t v : f.Locals)
                put(v);
        }
        FProcess.Mem.AddRegion(base, stack);
        r.StackTop = base + kStackSize;
        r.StackBottom = at;
        r.FramePointer = framePointers ? ebp : 0;
    }

    TStackTraceResult Trace(TStackTraceRequest r, const std::vector<TFrame>& frames,
                            bool framePointers = true) {
        LayOut(frames, framePointers, r);
        return FTracer.Trace(r);
    }

    static TStackTraceRequest Crash(TAddress at) {
        TStackTraceRequest r;
        r.IsException = true;
        r.CurrentAddress = at;
        return r;
    }

    // Each item's unit, procedure and line must be what addr2line gives for its address.
    static void ExpectLikeAddr2Line(const TStackTraceResult& result) {
        for (const TStackTraceItem& item : result.Items) {
            if (item.ModuleName != "trace_sample.exe") continue;
            const TOracleLine o = Addr2Line(Sample().Exe, item.Address);
            EXPECT_EQ(item.UnitName, o.File) << Hex(item.Address);
            // Hand-written assembly has lines but no procedure in DWARF.
            if (o.Function != "??") {
                EXPECT_EQ(item.ProcName, o.Function) << Hex(item.Address);
            }
            EXPECT_EQ(item.Line, o.Line) << Hex(item.Address);
        }
    }

    static std::vector<std::string> Procs(const TStackTraceResult& result) {
        std::vector<std::string> names;
        for (const TStackTraceItem& item : result.Items)
            names.push_back(item.ProcName);
        return names;
    }

    TSampleProcess FProcess;
    TStackTracer FTracer{FProcess};
    TAddress FLayouts = 0;
};

const std::vector<std::string> kExpectedChain = {"sample.Level6", "sample.Level5", "sample.Level4",
                                                 "sample.Level3", "sample.Level2", "sample.Level1",
                                                 "main"};

TEST_F(StackTrace, ChainFromTheCrashDownToMainMatchesAddr2Line) {
    for (bool framePointers : {true, false}) {
        SCOPED_TRACE(framePointers ? "frame pointers" : "raw scan only");
        const TAddress crash = CrashInLevel6();
        const TStackTraceResult result = Trace(Crash(crash), Chain(), framePointers);
        EXPECT_EQ(Procs(result), kExpectedChain) << result.Text;
        ASSERT_FALSE(result.Items.empty());
        EXPECT_EQ(result.Items.front().Address, crash);
        EXPECT_EQ(result.CrashAddress, crash);
        EXPECT_EQ(result.CrashProcStart, Sample().Listing.Start(kLevel[6]));
        EXPECT_TRUE(result.HasLineNumbers);
        // Printed addresses are the call instructions themselves.
        EXPECT_EQ(result.Items[1].Address, Sample().Listing.At(kLevel[5], "call"));
        ExpectLikeAddr2Line(result);
    }
}

TEST_F(StackTrace, CreationAddressIsTheLastLine) {
    TStackTraceRequest r = Crash(CrashInLevel6());
    r.CreationAddress = Sample().Listing.Start(kMain);
    const TStackTraceResult result = Trace(r, Chain(), false);
    ASSERT_GE(result.Items.size(), 2u) << result.Text;
    EXPECT_EQ(result.Items.back().Address, r.CreationAddress) << result.Text;
    EXPECT_EQ(result.Items.back().ProcName, "main");
    EXPECT_EQ(result.Items[result.Items.size() - 2].ProcName, "main") << result.Text;
}

TEST_F(StackTrace, StaleReturnAddressesInDeadAreasAreDropped) {
    std::vector<TFrame> frames = Chain();
    // Level2's locals still hold return addresses of calls made and finished earlier.
    frames[2].Locals = {Ret(kLevel[4], 5), 0x1234, Ret(kLevel[5], 6), Ret(kLevel[1], 2)};
    frames[4].Locals = {Ret(kLevel[2], 3), 9};
    for (bool framePointers : {true, false}) {
        SCOPED_TRACE(framePointers ? "frame pointers" : "raw scan only");
        const TStackTraceResult result = Trace(Crash(CrashInLevel6()), frames, framePointers);
        EXPECT_EQ(Procs(result), kExpectedChain) << result.Text;
    }
}

TEST_F(StackTrace, CallThroughARegisterQualifiesAJumpDoesNot) {
    const TAddress afterCall = Sample().Listing.After(kCallThrough, "call   *%eax");
    const TAddress afterJump = Sample().Listing.After(kJumpThrough, "jmp    *%eax");
    // main calls CallThrough, which calls Level5 through eax; a stale address after the
    // jump lies in CallThrough's frame.
    std::vector<TFrame> frames = {
        {Ret(kMain, Hex(Sample().Listing.Start(kCallThrough)).substr(2)), {afterJump, 0}},
        {afterCall, {0}},
        {Ret(kLevel[5], 6), {}}};
    const TStackTraceResult result = Trace(Crash(CrashInLevel6()), frames, false);
    const std::vector<std::string> expected = {"sample.Level6", "sample.Level5",
                                               "sample.CallThrough", "main"};
    EXPECT_EQ(Procs(result), expected) << result.Text;
    for (const TStackTraceItem& item : result.Items)
        EXPECT_NE(item.Address + 0, afterJump);
    ExpectLikeAddr2Line(result);
}

TEST_F(StackTrace, RecursionOfThreeReturnAddressesPrintsOnce) {
    std::vector<TFrame> frames = {{Ret(kMain, 1), {}}};
    for (int i = 0; i < 5; ++i) {
        frames.push_back({Ret(kLevel[1], 2), {}});
        frames.push_back({Ret(kLevel[2], 3), {}});
        frames.push_back({Sample().Listing.After(kLevel[3], "call   *"), {}});
    }
    frames.push_back({Ret(kLevel[4], 5), {}});
    frames.push_back({Ret(kLevel[5], 6), {}});
    const TStackTraceResult result = Trace(Crash(CrashInLevel6()), frames, false);
    EXPECT_EQ(Procs(result), kExpectedChain) << result.Text;
}

TEST_F(StackTrace, PreparedStackKeepsFlaggedEntriesAndHidesTheExceptionDispatch) {
    const std::vector<TFrame> chain = Chain();
    std::vector<TPreparedEntry> prepared;
    for (const TFrame& f : chain)
        prepared.push_back({1, f.Return});
    prepared.insert(prepared.begin() + 2, {0, Ret(kLevel[4], 5)}); // stale, not flagged
    TStackTraceRequest r = Crash(CrashInLevel6());
    r.Prepared = &prepared;
    TStackTraceResult result = FTracer.Trace(r);
    EXPECT_EQ(Procs(result), kExpectedChain) << result.Text;
    // Above the runtime's exception handler only the newest item stays.
    const TAddress inHandler = Sample().Listing.After("__gnu_exception_handler@4", "call");
    prepared = {{1, chain[0].Return}, {1, chain[1].Return}, {1, inHandler}, {1, chain[5].Return}};
    result = FTracer.Trace(r);
    const std::vector<std::string> expected = {"sample.Level6", "sample.Level1", "main"};
    EXPECT_EQ(Procs(result), expected) << result.Text;
}

class StackTraceForeign : public StackTrace {
protected:
    void SetUp() override {
        StackTrace::SetUp();
        if (HasFatalFailure()) return;
        // The program's image once more, as a module without debug information that exports
        // its Level5 under another name.
        TImageInfo copy = Sample().Info;
        const TAddress shift = kCopyBase - copy.ImageStart;
        for (TAddress* a : {&copy.ImageStart, &copy.ImageEnd, &copy.CodeBegin, &copy.CodeEnd,
                            &copy.DataBegin, &copy.DataEnd})
            *a += shift;
        copy.ModuleName = "nodebug.dll";
        copy.IsMainModule = false;
        FProcess.Mem.AddRegion(kCopyBase, Sample().Image);
        FProcess.Mem.AddImage(copy);
        FProcess.Exports.push_back({Sample().Listing.Start(kLevel[5]) + shift, "Exported5"});
        FShift = shift;
        // Code of no module: a few instructions to crash in.
        FProcess.Mem.AddRegion(kForeignCode, {0x90, 0x90, 0x8B, 0x00, 0xC3, 0x90});
    }
    TAddress FShift = 0;
};

TEST_F(StackTraceForeign, UglyItemsShowOrHideWithTheSetting) {
    // Level3 calls through a register into the module without debug information, where
    // Level4 and Level5 run and Level6 crashes.
    std::vector<TFrame> frames = Chain();
    frames[4].Return += FShift;
    frames[5].Return += FShift;
    FProcess.Exports.push_back({Sample().Listing.Start(kLevel[4]) + FShift, "Exported4"});
    for (bool hide : {false, true}) {
        SCOPED_TRACE(hide ? "hidden" : "shown");
        TStackTraceRequest r = Crash(CrashInLevel6() + FShift);
        r.HideUglyItems = hide;
        const TStackTraceResult result = Trace(r, frames, false);
        std::vector<std::string> names;
        for (const TStackTraceItem& item : result.Items)
            if (item.ModuleName == "nodebug.dll") {
                names.push_back(item.ProcName);
                EXPECT_EQ(item.UnitName, "");
                EXPECT_EQ(item.Line, 0);
            }
        // The crash itself is forced and always shows; it has no name of its own.
        const std::vector<std::string> shown = {"", "Exported5", "Exported4"};
        EXPECT_EQ(names, hide ? std::vector<std::string>{""} : shown) << result.Text;
        ASSERT_FALSE(result.Items.empty());
        EXPECT_EQ(result.Items.back().ProcName, "main") << result.Text;
        EXPECT_EQ(result.Items[result.Items.size() - 4].ProcName, "sample.Level3") << result.Text;
    }
}

TEST_F(StackTraceForeign, FailureOfTheProcessInterfaceLandsInThePhaseThatAsked) {
    std::vector<TFrame> frames = Chain();
    frames[5].Return = Ret(kLevel[5], 6) + FShift;
    FProcess.ThrowFromExports = true;
    const TStackTraceResult result = Trace(Crash(CrashInLevel6()), frames, false);
    const std::string head =
        ">> internal error in CollectPossibleStackItems:\r\n" + Hex(frames[5].Return) + " ???";
    EXPECT_EQ(result.Text.substr(0, head.size()), head) << result.Text;
}

TEST_F(StackTraceForeign, UnknownModulePrintsQuestionMarksAndZeroOffsets) {
    TStackTraceRequest r = Crash(kForeignCode + 2);
    r.ShowRelAddrs = true;
    r.ShowRelLines = true;
    std::vector<TFrame> frames = Chain();
    frames.pop_back();
    const TStackTraceResult result = Trace(r, frames, true);
    ASSERT_FALSE(result.Items.empty());
    EXPECT_EQ(result.Items.front().ModuleName, "???");
    EXPECT_EQ(result.Items.front().Address, kForeignCode + 2);
    const std::string first = result.Text.substr(0, result.Text.find("\r\n"));
    // The widest offset decides the zeros of the line without a procedure start.
    size_t width = 0;
    for (const TStackTraceItem& item : result.Items) {
        char buf[16];
        width = std::max(width, size_t(std::snprintf(buf, sizeof buf, "%x", item.Offset)));
    }
    EXPECT_EQ(first.substr(0, 10 + width), Hex(kForeignCode + 2) + " +" + std::string(width, '0'))
        << result.Text;
    EXPECT_NE(first.find(" ???"), std::string::npos) << first;
    // Later lines carry a relative line against their procedure's first line.
    const TStackTraceItem& caller = result.Items[1];
    const TOracleLine call = Addr2Line(Sample().Exe, caller.Address);
    const TOracleLine start = Addr2Line(Sample().Exe, caller.Address - caller.Offset);
    EXPECT_EQ(caller.RelLine, call.Line - start.Line);
}

TEST_F(StackTrace, ChecksumsFollowTheCrashSiteNotTheRun) {
    const TStackTraceResult a = Trace(Crash(CrashInLevel6()), Chain());
    const TStackTraceResult b = Trace(Crash(CrashInLevel6()), Chain());
    EXPECT_EQ(a.Checksums[0], b.Checksums[0]);
    EXPECT_EQ(a.Checksums[1], b.Checksums[1]);
    std::vector<TFrame> shorter = Chain();
    shorter.pop_back();
    const TAddress other = Sample().Listing.At(kLevel[5], "call");
    const TStackTraceResult c = Trace(Crash(other), shorter);
    EXPECT_NE(a.Checksums[0], c.Checksums[0]);
    EXPECT_NE(a.Checksums[1], c.Checksums[1]);
    // The first checksum by zlib's CRC-32 with its inversions undone.
    const TStackTraceItem& top = a.Items.front();
    uint32_t v = top.Offset;
    for (std::string part : {top.ModuleName, top.UnitName, top.ProcName}) {
        for (char& ch : part)
            ch = char(std::tolower(static_cast<unsigned char>(ch)));
        v = ~uint32_t(crc32(~v & 0xFFFFFFFFu, reinterpret_cast<const Bytef*>(part.data()),
                            uInt(part.size())));
    }
    EXPECT_EQ(a.Checksums[0], v);
}

// Every form of call and some look-alikes, each judged by objdump on the same bytes.
TEST(StackTraceCallTest, FollowsCallAgreesWithObjdump) {
    const std::vector<std::vector<uint8_t>> forms = {
        {0xE8, 0, 0, 0, 0},                   // call rel32
        {0xFF, 0xD0},                         // call eax
        {0xFF, 0x55, 0x08},                   // call [ebp+8]
        {0xFF, 0x54, 0x24, 0x04},             // call [esp+4]
        {0xFF, 0x15, 0x00, 0x10, 0x40, 0x00}, // call [0x401000]
        {0xFF, 0x94, 0x24, 0, 1, 0, 0},       // call [esp+0x100]
        {0xFF, 0x1D, 0x00, 0x10, 0x40, 0x00}, // call far [0x401000]
        {0x9A, 0, 0, 0, 0, 0x08, 0},          // call far 0008:00000000
        {0xFF, 0xE0},                         // jmp eax
        {0xFF, 0x25, 0x00, 0x10, 0x40, 0x00}, // jmp [0x401000]
        {0xE9, 0, 0, 0, 0},                   // jmp rel32
        {0x8B, 0x45, 0x08},                   // mov eax, [ebp+8]
        {0xFF, 0x75, 0x08},                   // push [ebp+8]
    };
    const fs::path file =
        fs::temp_directory_path() / ("qix_call_forms_" + std::to_string(getpid()) + ".bin");
    for (const auto& form : forms) {
        {
            std::ofstream out(file, std::ios::binary);
            out.write(reinterpret_cast<const char*>(form.data()), std::streamsize(form.size()));
        }
        const std::string listing =
            Shell("i686-w64-mingw32-objdump -D -b binary -m i386 " + file.string() + " 2>&1");
        ASSERT_NE(listing.find("   0:"), std::string::npos) << "objdump failed: " << listing;
        // objdump writes AT&T mnemonics: call, lcall, jmp, ljmp, mov, push.
        const std::regex call(R"(\s(l?call)\s)");
        const bool oracle = std::regex_search(listing, call);
        std::vector<uint8_t> bytes(8 - form.size(), 0x00);
        bytes.insert(bytes.end(), form.begin(), form.end());
        TBufferMemoryReader memory;
        memory.AddRegion(0x1000, bytes);
        EXPECT_EQ(FollowsCall(memory, 0x1008), oracle) << listing;
    }
    fs::remove(file);
}

TEST(StackTraceChecksum, TableStepIsZlibWithoutInversions) {
    const std::string text = "The quick brown fox";
    for (uint32_t seed : {0u, 1u, 0xDEADBEEFu, 0xFFFFFFFFu}) {
        const uint32_t zlib = ~uint32_t(crc32(
            ~seed & 0xFFFFFFFFu, reinterpret_cast<const Bytef*>(text.data()), uInt(text.size())));
        EXPECT_EQ(ChecksumUpdate(seed, text.data(), text.size()), zlib);
    }
    // The published check value of CRC-32 over "123456789", inversions done by hand.
    EXPECT_EQ(~ChecksumUpdate(0xFFFFFFFFu, "123456789", 9), 0xCBF43926u);
}

// Records the bar's positions and throws from one chosen call, to fail the phase that made it.
struct TThrowingAlert : IProgressAlert {
    int ThrowOnCall = 0; // 1-based
    std::vector<int32_t> Seen;
    std::string GetCaption() override { return {}; }
    void SetCaption(const std::string&) override {}
    int32_t GetProgress() override { return Seen.empty() ? 0 : Seen.back(); }
    void SetProgress(int32_t p) override {
        Seen.push_back(p);
        if (int(Seen.size()) == ThrowOnCall) throw std::runtime_error("alert");
    }
    void AddPhase(const std::string&, uint64_t) override {}
    void ClearPhases() override {}
    void PhaseDone() override {}
    int32_t GetPhase() override { return 0; }
    void SetPhase(int32_t) override {}
    void PumpMessages() override {}
    bool Display(void*, bool) override { return false; }
    void Dismiss() override {}
};

TEST_F(StackTrace, InternalErrorsNameThePhaseAndTheCrashLocation) {
    const TAddress crash = CrashInLevel6();
    const TOracleLine where = Addr2Line(Sample().Exe, crash);
    // A clean run tells which progress call each phase makes; failing that call fails the phase.
    TThrowingAlert clean;
    TStackTraceRequest plain = Crash(crash);
    plain.Progress = &clean;
    Trace(plain, Chain());
    const std::vector<int32_t>& seen = clean.Seen;
    auto firstIndex = [&](auto pred) {
        return int(std::find_if(seen.begin(), seen.end(), pred) - seen.begin()) + 1;
    };
    const struct {
        int Call;
        const char* Phase;
    } cases[] = {{firstIndex([](int32_t p) { return p == 25; }), "CollectPossibleStackItems"},
                 {firstIndex([](int32_t p) { return p > 25 && p < 650; }), "InDeepChecks"},
                 {firstIndex([](int32_t p) { return p > 650; }), "RealizeOptimalLinkChains"},
                 {int(seen.size()), "RemoveRecursiveAreas"}};
    for (const auto& c : cases) {
        TThrowingAlert alert;
        alert.ThrowOnCall = c.Call;
        TStackTraceRequest r = Crash(crash);
        r.Progress = &alert;
        const TStackTraceResult result = Trace(r, Chain());
        const std::string head = std::string(">> internal error in ") + c.Phase;
        EXPECT_EQ(result.Text.substr(0, head.size()), head) << result.Text;
        const std::string tail = "\r\n>> original exception location: " + Hex(crash) +
                                 " trace_sample.exe " + where.File + " " +
                                 std::to_string(where.Line) + " " + where.Function;
        ASSERT_GE(result.Text.size(), tail.size()) << result.Text;
        EXPECT_EQ(result.Text.substr(result.Text.size() - tail.size()), tail) << result.Text;
        EXPECT_TRUE(result.Items.empty());
    }
}

TEST_F(StackTrace, ProgressMovesForwardAndEndsAtTheLastPhase) {
    TThrowingAlert alert;
    TStackTraceRequest r = Crash(CrashInLevel6());
    r.Progress = &alert;
    Trace(r, Chain());
    ASSERT_FALSE(alert.Seen.empty());
    EXPECT_EQ(alert.Seen.front(), 25);
    EXPECT_EQ(alert.Seen.back(), 1000);
    EXPECT_TRUE(std::is_sorted(alert.Seen.begin(), alert.Seen.end()));
}

TEST_F(StackTrace, AbortKeepsWhatWasFound) {
    std::atomic<bool> abort{true};
    TStackTraceRequest r = Crash(CrashInLevel6());
    r.Abort = &abort;
    const TStackTraceResult result = Trace(r, Chain());
    EXPECT_LT(result.Items.size(), kExpectedChain.size()) << result.Text;
}

TEST_F(StackTrace, UnreadableStackGivesAnEmptyTrace) {
    TStackTraceRequest r = Crash(CrashInLevel6());
    r.StackTop = 0x00F00000;
    r.StackBottom = 0x00E00000;
    const TStackTraceResult result = FTracer.Trace(r);
    EXPECT_TRUE(result.Text.empty());
    EXPECT_TRUE(result.Items.empty());
}

TEST_F(StackTrace, TwoThreadsShareTheCaches) {
    TStackTraceRequest r = Crash(CrashInLevel6());
    LayOut(Chain(), false, r);
    std::vector<std::string> texts(4);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < texts.size(); ++i)
        threads.emplace_back([&, i] { texts[i] = FTracer.Trace(r).Text; });
    for (auto& t : threads)
        t.join();
    for (const std::string& t : texts)
        EXPECT_EQ(t, texts[0]);
    EXPECT_EQ(std::count(texts[0].begin(), texts[0].end(), '\n'), 6) << texts[0];
}

TEST_F(StackTrace, DescribeAddressNamesModuleUnitLineAndProcedure) {
    const TAddress at = Sample().Listing.At(kLevel[4], "call");
    const TOracleLine o = Addr2Line(Sample().Exe, at);
    const TAddress start = Sample().Listing.Start(kLevel[4]);
    const TOracleLine first = Addr2Line(Sample().Exe, start);
    char offset[16];
    std::snprintf(offset, sizeof offset, "%x", unsigned(at - start));
    EXPECT_EQ(FTracer.DescribeAddress(at, true, true),
              Hex(at) + " +" + offset + " trace_sample.exe " + o.File + " " +
                  std::to_string(o.Line) + " +" + std::to_string(o.Line - first.Line) + " " +
                  o.Function);
    EXPECT_EQ(FTracer.DescribeAddress(kForeignCode, true, false), Hex(kForeignCode) + " +0 ???");
}

} // namespace
} // namespace qix
