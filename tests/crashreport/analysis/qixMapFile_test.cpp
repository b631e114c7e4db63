// The map reader against inputs built here: compiled blocks (through the writer of qixmap or
// byte by byte), text maps, FB09 tables and JDBG files.
#include "crashreport/analysis/qixMapFile.h"
#include "crashreport/analysis/qixPeImage.h"
#include "crashreport/support/qixCrypt.h"
#include "tests/crashreport/analysis/MapTestData.h"
#include "tools/qixmap/PeEmbed.h"
#include "tools/qixmap/qixMapWriter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <zlib.h>

namespace fs = std::filesystem;
using namespace qixtest;
using qix::TAddress;
using qix::TMapFile;

namespace {

constexpr TAddress kBase = 0x401000, kTop = 0x402000;

qix::TMapContent SampleContent() {
    qix::TMapContent c;
    c.Segments = {{0, 0x100, "Main", 0}, {0x100, 0x80, "Util.cpp", 1}};
    c.Publics = {{"Start", 0}, {"Run", 0x40}, {"Helper", 0x100}, {"Tail", 0x150}};
    c.Lines = {{10, 0}, {11, 0x10}, {12, 0x48}, {30, 0x100}, {31, 0x120}};
    return c;
}

TMapFile LoadBlock(const Bytes& block, bool* ok = nullptr) {
    TMapFile map;
    map.SetBounds(kBase, kTop);
    const bool loaded = map.ImportMapData(block);
    map.FinishLoad(loaded);
    if (ok) *ok = loaded;
    return map;
}

Bytes Block(const qix::TMapContent& c, uint32_t version = 3, uint32_t flags = 0) {
    return qix::BuildMapBlock(c, {version, 0x11111111, 0x22222222, flags});
}

Bytes Compressed(const Bytes& raw) {
    return qix::CompressMapPayload(raw);
}

// A payload written byte by byte: one segment, publics with the given deltas, no lines.
Bytes PayloadWithDeltas(const std::vector<Bytes>& deltas, const Bytes& trailer = {}) {
    Bytes p;
    Put32(p, 1);
    Put32(p, 0);
    Put32(p, 0x100000);
    p.push_back(1);
    p.push_back('U');
    Put32(p, uint32_t(deltas.size() + 1));
    p.push_back(1);
    p.push_back('a');
    Put32(p, 0x10);
    char name = 'b';
    for (const auto& d : deltas) {
        p.push_back(1);
        p.push_back(uint8_t(name++));
        p.insert(p.end(), d.begin(), d.end());
    }
    Put32(p, 0);
    p.insert(p.end(), trailer.begin(), trailer.end());
    return p;
}

std::string Name(const TMapFile& m, TAddress a) {
    return m.FindPublic(a).Name;
}

} // namespace

// ---- compiled blocks ----

TEST(MapBlock, BothVersionsCarryTheSameContentAtTheirOwnOffsets) {
    for (uint32_t version : {2u, 3u}) {
        const Bytes block = Block(SampleContent(), version);
        const size_t header = version == 3 ? 34 : 22;
        EXPECT_EQ(block.size(), header + qix::PeRead32(block, 14));
        bool ok = false;
        const TMapFile m = LoadBlock(block, &ok);
        ASSERT_TRUE(ok) << version;
        EXPECT_EQ(Name(m, kBase + 0x45), "Run");
        EXPECT_EQ(m.FindSegment(true, kBase + 0x120).UnitName, "Util.cpp");
        TAddress next = 0;
        EXPECT_EQ(m.FindLine(kBase + 0x47, next), 11);
        EXPECT_EQ(next, kBase + 0x48);
    }
}

TEST(MapBlock, DamagedHeadersAreRejected) {
    const Bytes good = Block(SampleContent());
    Bytes b = good;
    b[3] ^= 1;
    EXPECT_FALSE(LoadBlock(b).Valid()) << "signature";
    for (uint32_t v : {1u, 4u, 0u}) {
        b = good;
        Set32(b, 18, v);
        EXPECT_FALSE(LoadBlock(b).Valid()) << "version " << v;
    }
    b.assign(good.begin(), good.begin() + 22);
    EXPECT_FALSE(LoadBlock(b).Valid()) << "22 bytes";
    b.assign(good.begin(), good.end() - 1);
    EXPECT_FALSE(LoadBlock(b).Valid()) << "payload cut short";
    b = good;
    Set32(b, 14, 0xFFFFFFF0);
    EXPECT_FALSE(LoadBlock(b).Valid()) << "payload length beyond the block";
}

TEST(MapBlock, CorruptPayloadsAreRejected) {
    const Bytes raw = qix::EncodeMapPayload(SampleContent(), false);
    Bytes c = Compressed(raw);
    c[8] ^= 0x40; // CRC
    EXPECT_FALSE(LoadBlock(qix::BuildMapBlock(c, {})).Valid()) << "CRC";
    c = Compressed(raw);
    Set32(c, 0, uint32_t(raw.size() + 1));
    EXPECT_FALSE(LoadBlock(qix::BuildMapBlock(c, {})).Valid()) << "inflates short of its length";
    c = Compressed(raw);
    Set32(c, 0, uint32_t(raw.size() - 1));
    EXPECT_FALSE(LoadBlock(qix::BuildMapBlock(c, {})).Valid()) << "inflates past its length";
    c = Compressed(raw);
    c.resize(c.size() - 3);
    EXPECT_FALSE(LoadBlock(qix::BuildMapBlock(c, {})).Valid()) << "stream cut";
    // Enciphered with another password: the inflate or the checksum fails.
    Bytes block = Block(SampleContent());
    std::string payload(block.begin() + 34, block.end());
    qix::OldDecrypt(payload, qix::MapPayloadPassword(uint32_t(payload.size())));
    qix::OldEncrypt(payload, "another password");
    std::copy(payload.begin(), payload.end(), block.begin() + 34);
    EXPECT_FALSE(LoadBlock(block).Valid()) << "wrong cipher key";
    EXPECT_TRUE(qix::InflateMapPayload(Bytes(12, 0)).empty());
}

TEST(MapBlock, PayloadIsEncipheredWithALengthDependentPassword) {
    EXPECT_NE(qix::MapPayloadPassword(100), qix::MapPayloadPassword(101));
    EXPECT_EQ(qix::MapPayloadPassword(100).size(), 2 * (6 + 1 + 7 + 6 + 8));
    const Bytes block = Block(SampleContent());
    const Bytes compressed = Compressed(qix::EncodeMapPayload(SampleContent(), false));
    EXPECT_FALSE(std::equal(compressed.begin(), compressed.begin() + 8, block.begin() + 34));
}

TEST(MapBlock, CompactIntegersUseOneByteOrAnEscapedInt32) {
    const Bytes payload = PayloadWithDeltas({{0x7F}, {0xFF}, {0x80, 0x45, 0x23, 0x01, 0x00}});
    const TMapFile m = LoadBlock(qix::BuildMapBlock(Compressed(payload), {}));
    ASSERT_EQ(m.PublicCount(), 4);
    const auto at = [&](const char* name) {
        for (const auto& p : m.Publics())
            if (p.Name == name) return p.Address;
        return TAddress(0);
    };
    EXPECT_EQ(at("a"), kBase + 0x10);
    EXPECT_EQ(at("b"), kBase + 0x10 + 127);
    EXPECT_EQ(at("c"), kBase + 0x10 + 126);
    EXPECT_EQ(at("d"), kBase + 0x10 + 126 + 0x12345);
}

TEST(MapBlock, EntryPointOnlyWhenExactlyFourBytesRemain) {
    Bytes four, five;
    Put32(four, 0x20);
    Put32(five, 0x20);
    five.push_back(0);
    EXPECT_EQ(
        LoadBlock(qix::BuildMapBlock(Compressed(PayloadWithDeltas({}, four)), {})).EntryPoint(),
        kBase + 0x20);
    const TMapFile m = LoadBlock(qix::BuildMapBlock(Compressed(PayloadWithDeltas({}, five)), {}));
    EXPECT_TRUE(m.Valid());
    EXPECT_EQ(m.EntryPoint(), 0u);
}

TEST(MapBlock, ShortStringPastTheEndKeepsThePreviousName) {
    Bytes p;
    Put32(p, 2);
    Put32(p, 0), Put32(p, 0x10), p.push_back(3), p.insert(p.end(), {'O', 'n', 'e'});
    Put32(p, 0x10), Put32(p, 0x10), p.push_back(200); // name longer than what is left
    const TMapFile m = LoadBlock(qix::BuildMapBlock(Compressed(p), {}));
    ASSERT_TRUE(m.Valid());
    ASSERT_EQ(m.SegmentCount(), 2);
    EXPECT_EQ(m.Segments()[1].UnitName, "One");
}

TEST(MapBlock, ReducedBlockHasPlaceholderNames) {
    auto c = SampleContent();
    const TMapFile m = LoadBlock(Block(c, 3, 1));
    ASSERT_TRUE(m.Valid());
    EXPECT_EQ(m.Segments()[0].UnitName, "segment%0");
    EXPECT_EQ(m.Publics()[3].Name, "public%3");
    EXPECT_EQ(m.Segments()[1].HasLineInfo, 1);
}

TEST(MapBlock, MissingLinesAreMinusOneOnlyWhereTheUnitHasThem) {
    auto c = SampleContent();
    c.Lines.clear();
    const TMapFile m = LoadBlock(Block(c, 3, 1));
    TAddress next = 0;
    EXPECT_EQ(m.FindLine(kBase + 0x110, next), -1); // unit 1 has line information
    EXPECT_EQ(m.FindLine(kBase + 0x10, next), 0);
    const TMapFile full = LoadBlock(Block(c));
    EXPECT_EQ(full.FindLine(kBase + 0x110, next), 0);
    qix::TAddressInfo info;
    ASSERT_TRUE(qix::GetAddressInfo(m, kBase + 0x110, info));
    EXPECT_EQ(info.Line, 0);
}

// ---- reduced blocks in a module with its settings, and the full block beside it ----

class ModuleFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("qix_mapfile_" + std::to_string(getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Write(const std::string& name, const Bytes& data) {
        const auto p = dir_ / name;
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
        return p.string();
    }
    std::string Write(const std::string& name, const std::string& text) {
        return Write(name, Bytes(text.begin(), text.end()));
    }
    TMapFile Load(const Bytes& image, const std::string& fileName) {
        const qix::TPeImage pe(image, false);
        EXPECT_TRUE(pe.Valid());
        return TMapFile(true, false, {&pe, TAddress(pe.ImageBase()), fileName});
    }
    static Bytes Settings(const std::string& id) {
        Bytes s{'T', 'P', 'F', '0'};
        s.push_back(0x0C);
        for (char c : std::string("MinDebugInfo"))
            s.push_back(uint8_t(c));
        s.insert(s.end(), {0x0C, 0x1F, 0, 0, 0});
        s.insert(s.end(), id.begin(), id.end());
        s.push_back(0);
        return s;
    }
    fs::path dir_;
};

TEST_F(ModuleFiles, ReducedBlockLoadsTheMatchingFullBlockBesideTheModule) {
    const Bytes full = Block(SampleContent());
    const std::string id = qix::MapDataIdentification(full);
    ASSERT_EQ(id.size(), 31u);
    Bytes exe = qix::EmbedResource(MinimalPe(), u"QIX", u"EXCEPT", Block(SampleContent(), 3, 1));
    exe = qix::EmbedResource(exe, u"#10", u"TQIXEXCEPT", Settings(id));
    const std::string path = Write("app.exe", exe);
    Write("app.qix", full);
    const TMapFile m = Load(exe, path);
    ASSERT_TRUE(m.Valid());
    EXPECT_EQ(m.MinDebugInfo(), ""); // the full block was loaded
    EXPECT_EQ(Name(m, kBase + 0x41), "Run");
}

TEST_F(ModuleFiles, ReducedBlockStaysWhenTheFullBlockDoesNotMatch) {
    const Bytes other = Block(SampleContent(), 3, 0);
    Bytes exe = qix::EmbedResource(MinimalPe(), u"QIX", u"EXCEPT", Block(SampleContent(), 3, 1));
    exe =
        qix::EmbedResource(exe, u"#10", u"TQIXEXCEPT", Settings("$00000000, $00000000, $00000000"));
    const std::string path = Write("app.exe", exe);
    Write("app.qix", other);
    const TMapFile m = Load(exe, path);
    ASSERT_TRUE(m.Valid());
    EXPECT_EQ(Name(m, kBase + 0x41), "public%1");
    const std::string text = m.GetPublicNameAt(kBase + 0x40);
    EXPECT_NE(text.find('%'), std::string::npos);
    EXPECT_TRUE(text.ends_with(" (app.exe)")) << text;
    EXPECT_EQ(m.GetPublicNameAt(kBase + 0x41), "");
}

TEST_F(ModuleFiles, EmbeddedBlockWinsOverSideFilesAndSideFilesFollowTheirOrder) {
    const std::string path = Write("app.exe", MinimalPe());
    Write("app.qix", Block(SampleContent()));
    EXPECT_EQ(Name(Load(MinimalPe(), path), kBase + 0x41), "Run") << ".qix without .map";
    Write("app.map", std::string(" 0001:00000000 00000000H .text  CODE\r\n"));
    EXPECT_TRUE(Load(MinimalPe(), path).Valid());
    EXPECT_EQ(Load(MinimalPe(), path).PublicCount(), 0) << ".map comes before .qix";
    auto c = SampleContent();
    c.Publics[1].Name = "Embedded";
    const Bytes exe = qix::EmbedResource(MinimalPe(), u"QIX", u"EXCEPT", Block(c));
    EXPECT_EQ(Name(Load(exe, path), kBase + 0x41), "Embedded");
}

TEST_F(ModuleFiles, ModuleWithoutAnySourceIsInvalid) {
    const std::string path = Write("bare.exe", MinimalPe());
    const TMapFile m = Load(MinimalPe(), path);
    EXPECT_FALSE(m.Valid());
    EXPECT_FALSE(m.FindSegment(true, kBase).Valid);
    EXPECT_FALSE(m.FindPublic(kBase).Valid);
    EXPECT_FALSE(TMapFile(false, false, {nullptr, 0, path}).Valid());
}

TEST_F(ModuleFiles, CodeBoundsComeFromTheFirstCodeSection) {
    auto c = SampleContent();
    const Bytes exe = qix::EmbedResource(MinimalPe(), u"QIX", u"EXCEPT", Block(c));
    const TMapFile m = Load(exe, Write("app.exe", exe));
    EXPECT_EQ(m.BaseOfCode(), kBase);
    EXPECT_EQ(m.TopOfCode(), kBase + 0x1000);
    EXPECT_EQ(m.BaseOfData(), 0x402000u);
    // Beyond the last public but below the top of code: still the last public.
    EXPECT_EQ(Name(m, kBase + 0xFFF), "Tail");
    EXPECT_FALSE(m.FindPublic(kBase + 0x1000).Valid);
}

TEST_F(ModuleFiles, SymbolTableFileBesideTheModule) {
    const Bytes data = Fb09OneProcedure("C:\\src\\Main.pas", "@Main@TForm1@Paint$qqrv");
    const std::string exe = Write("app.exe", std::string("not a PE file"));
    Write("app.tds", data);
    TMapFile m(true, false, {nullptr, 0, exe});
    ASSERT_TRUE(m.Valid());
    EXPECT_EQ(Name(m, 0x41), "TForm1.Paint");
    EXPECT_EQ(m.FindSegment(true, 0x41).UnitName, "Main");
}

// ---- text maps ----

namespace {

TMapFile ParseText(const std::string& text, TAddress base = 0) {
    TMapFile m;
    m.SetBounds(base, 0, 0x500000, 0);
    m.ParseTextMap(text);
    m.FinishLoad(true);
    return m;
}

const char* const kThreeSegmentMap =
    "\r\n"
    " Start         Length     Name                   Class\r\n"
    " 0001:00000000 00001234H .text                   CODE\r\n"
    " 0002:00000000 00000100H .itext                  ICODE\r\n"
    " 0003:00000000 00000400H .data                   DATA\r\n"
    "\r\n"
    "Detailed map of segments\r\n"
    "\r\n"
    " 0001:00000000 00000100 C=CODE     S=.text    G=(none)   M=Main.pas     ALIGN=PARA       \r\n"
    " 0001:00000100 00000080 C=CODE     S=.text    G=(none)   M=Unit.inc     ALIGN=PARA       \r\n"
    " 0002:00000000 00000040 C=ICODE    S=.itext   G=(none)   M=Project1.DPR ALIGN=PARA       \r\n"
    " 0003:00000010 00000020 C=DATA     S=.data    G=DGROUP   M=Main.pas     ALIGN=DWORD      \r\n"
    "\r\n"
    "  Address             Publics by Value\r\n"
    "\r\n"
    " 0001:00000000       Main\r\n"
    " 0001:00000010       Main.TForm1.Create\r\n"
    " 0001:000000X0       Broken\r\n"
    " 0001:00000100       Helper(int)\r\n"
    " 0002:00000004       Project1.Start\r\n"
    " 0003:00000010       Counter\r\n"
    "\r\n"
    "Line numbers for Main(Main.pas) segment .text\r\n"
    "\r\n"
    "    10 0001:00000000    11 0001:00000010    12 0001:00000020\r\n"
    "    13 0001:00000018    14 0001:00000030\r\n"
    "    15 0001:0000004X\r\n"
    "\r\n"
    "Line numbers for Project1(Project1.DPR) segment .itext\r\n"
    "\r\n"
    "     5 0002:00000004\r\n"
    "\r\n"
    "Program entry point at 0001:00000014\r\n";

} // namespace

TEST(TextMap, SegmentsFollowTheClassListAndLoseDelphiExtensions) {
    const TMapFile m = ParseText(kThreeSegmentMap);
    ASSERT_EQ(m.SegmentCount(), 4);
    EXPECT_EQ(m.FindSegment(true, 0x10).UnitName, "Main");
    EXPECT_EQ(m.FindSegment(true, 0x110).UnitName, "Unit.inc");
    // Segment 2 follows the code section rounded up to a page.
    EXPECT_EQ(m.FindSegment(true, 0x2000).UnitName, "Project1");
    EXPECT_EQ(m.FindSegment(true, 0x2000).Start, 0x2000u);
    const qix::TMapSegment data = m.FindSegment(false, 0x500010);
    EXPECT_TRUE(data.Valid);
    EXPECT_EQ(data.UnitName, "Main");
    EXPECT_EQ(m.EntryPoint(), 0x14u);
}

TEST(TextMap, PublicsLoseTheirUnitPrefixAndTheUnitItselfIsInitialization) {
    const TMapFile m = ParseText(kThreeSegmentMap);
    EXPECT_EQ(Name(m, 0), "initialization");
    EXPECT_EQ(Name(m, 0x10), "TForm1.Create");
    EXPECT_EQ(Name(m, 0x100), "Helper");
    EXPECT_EQ(Name(m, 0x2004), "Start");
    for (const auto& p : m.Publics())
        EXPECT_NE(p.Name, "Broken");
    EXPECT_EQ(m.FindPublicByName(false, "Main", false, "counter"), 0x500010u);
}

TEST(TextMap, LaterLineTextLinesMustAscendAndBadNumbersSkipTheLine) {
    const TMapFile m = ParseText(kThreeSegmentMap);
    std::vector<int> lines;
    for (const auto& l : m.Lines())
        lines.push_back(l.Line);
    // 13 goes back in address and is dropped; the line holding "0000004X" is skipped whole.
    EXPECT_EQ(lines, (std::vector<int>{10, 11, 12, 14, 5}));
    TAddress next = 0;
    EXPECT_EQ(m.FindLine(0x2006, next), 5);
}

TEST(TextMap, WithoutClassListSegmentTwoIsData) {
    const TMapFile m = ParseText("Detailed map of segments\r\n\r\n"
                                 " 0001:00000000 00000100 C=CODE     S=.text    G=(none)   M=A     "
                                 "       ALIGN=PARA       \r\n"
                                 " 0002:00000000 00000100 C=DATA     S=.data    G=DGROUP   M=A     "
                                 "       ALIGN=DWORD      \r\n"
                                 " 0000:00000000 00000100 C=DATA     S=.tls     G=DGROUP   M=A     "
                                 "       ALIGN=DWORD      \r\n"
                                 " 0004:00000000 00000100 C=DATA     S=.tls     G=DGROUP   M=A     "
                                 "       ALIGN=DWORD      \r\n"
                                 "\r\n",
                                 0x1000);
    ASSERT_EQ(m.SegmentCount(), 2);
    EXPECT_TRUE(m.Segments()[0].IsCode);
    EXPECT_EQ(m.Segments()[0].Start, 0x1000u);
    EXPECT_FALSE(m.Segments()[1].IsCode);
    EXPECT_EQ(m.Segments()[1].Start, 0x500000u);
}

TEST(TextMap, CodeOnlyDropsDataAndMalformedTextIsHarmless) {
    TMapFile m;
    m.ParseTextMap(std::string("Publics by Value\n 0001:\n\n") + std::string(3000, ':') + "\r\n" +
                   "Line numbers for (\r\n 1 0001:\r\n");
    m.FinishLoad(true);
    EXPECT_EQ(m.PublicCount(), 0);
}

TEST(TextMap, WriterOutputReadsBack) {
    const std::string text = qix::WriteTextMap(SampleContent(), 0x1000);
    const TMapFile m = ParseText(text, kBase);
    EXPECT_EQ(m.FindSegment(true, kBase + 0x120).UnitName, "Util.cpp");
    EXPECT_EQ(Name(m, kBase + 0x45), "Run");
    TAddress next = 0;
    EXPECT_EQ(m.FindLine(kBase + 0x121, next), 31);
}

// ---- names ----

TEST(Demangle, MangledRuntimeNames) {
    struct Case {
        const char *in, *unit, *name;
    } cases[] = {
        {"@Classes@TList@Add$qqrpv", "Classes", "TList.Add"},
        {"@Classes@TList@$bctr$qqrv", "Classes", "TList.Create"},
        {"@Classes@TList@$bdtr$qqrv", "Classes", "TList.Destroy"},
        {"@System@@HandleFinally$qqrv", "System", "@HandleFinally"},
        {"@Unit@Proc", "Unit", "Proc"},
    };
    for (const auto& c : cases) {
        std::string name = c.in, unit;
        EXPECT_TRUE(qix::DemangleSymbol(name, unit)) << c.in;
        EXPECT_EQ(unit, c.unit) << c.in;
        EXPECT_EQ(name, c.name) << c.in;
    }
}

TEST(Demangle, PlainNamesStayButLoseDoubleColons) {
    std::string name = "PlainName", unit = "x";
    EXPECT_FALSE(qix::DemangleSymbol(name, unit));
    EXPECT_EQ(name, "PlainName");
    EXPECT_EQ(unit, "");
    name = "geo::Rect::Area";
    EXPECT_FALSE(qix::DemangleSymbol(name, unit));
    EXPECT_EQ(name, "geo.Rect.Area");
    for (const char* odd : {"@", "@$", "@@", "@%", "@_$x$@", "@a@", "@ . ", "@%%@x"}) {
        name = odd;
        qix::DemangleSymbol(name, unit); // must not read out of bounds
    }
}

// ---- lookups ----

// The bucket index must answer exactly as std::upper_bound does, whatever the key spread.
TEST(Lookups, AddressIndexAgreesWithUpperBound) {
    std::mt19937 rng(7);
    const std::vector<std::vector<TAddress>> fixed = {
        {},
        {0x401000},
        {0x401000, 0x401000, 0x401000},
        {0, 1, 2, 3},
        {0x401000, 0x401010, 0x7fff0000}, // code and far-away data
        {0x10, TAddress(-1)},
    };
    std::vector<std::vector<TAddress>> sets = fixed;
    for (int n : {5, 100, 5000}) {
        std::vector<TAddress> keys;
        std::uniform_int_distribution<TAddress> gap(0, n % 2 ? 3 : 400);
        TAddress a = 0x400000;
        for (int i = 0; i < n; ++i)
            keys.push_back(a += gap(rng));
        sets.push_back(keys);
    }
    for (const auto& keys : sets) {
        qix::TAddressIndex index;
        index.Build(keys);
        std::vector<TAddress> probes = {0, 1, TAddress(-1), TAddress(-2)};
        for (TAddress k : keys)
            probes.insert(probes.end(), {k - 1, k, k + 1});
        std::uniform_int_distribution<TAddress> any(0x3ff000, 0x500000);
        for (int i = 0; i < 200; ++i)
            probes.push_back(any(rng));
        for (TAddress p : probes)
            ASSERT_EQ(index.UpperBound(p),
                      size_t(std::upper_bound(keys.begin(), keys.end(), p) - keys.begin()))
                << "probe " << std::hex << p << " of " << std::dec << keys.size() << " keys";
    }
}

TEST(Lookups, EqualStartsSortTheLongerSegmentFirst) {
    qix::TMapContent c;
    c.Segments = {{0, 0x10, "Short", 0}, {0, 0x100, "Long", 0}};
    const TMapFile m = LoadBlock(Block(c));
    ASSERT_EQ(m.SegmentCount(), 2);
    EXPECT_EQ(m.Segments()[0].UnitName, "Long");
    EXPECT_EQ(m.FindSegment(true, kBase + 0x50).UnitName, "Long");
}

TEST(Lookups, NestedSegmentsFallBackToTheEnclosingOneAndGapsStayEmpty) {
    qix::TMapContent c;
    c.Segments = {{0, 0x400, "Outer", 0},
                  {0x100, 0x10, "InnerA", 0},
                  {0x200, 0x10, "InnerB", 0},
                  {0x800, 0x10, "Far", 0}};
    const TMapFile m = LoadBlock(Block(c));
    EXPECT_EQ(m.FindSegment(true, kBase + 0x105).UnitName, "InnerA");
    EXPECT_EQ(m.FindSegment(true, kBase + 0x300).UnitName, "Outer");
    EXPECT_EQ(m.FindSegment(true, kBase + 0x210).UnitName, "Outer");
    EXPECT_EQ(m.SegmentAt(true, kBase + 0x500), nullptr);
    EXPECT_EQ(m.SegmentAt(true, kBase + 0x900), nullptr);
    EXPECT_EQ(m.FindSegment(true, kBase + 0x80f).UnitName, "Far");
}

TEST(Lookups, PublicByNameSearchesUnitSegmentsAndTriesSourceExtensions) {
    qix::TMapContent c;
    c.Segments = {
        {0, 0x100, "Engine.cpp", 0}, {0x100, 0x100, "Other", 0}, {0x200, 0x100, "Engine.cpp", 0}};
    c.Publics = {{"Start", 0x10}, {"Start", 0x110}, {"start", 0x210}};
    const TMapFile m = LoadBlock(Block(c));
    EXPECT_EQ(m.FindPublicByName(true, "Engine", false, "START"), kBase + 0x210);
    EXPECT_EQ(m.FindPublicByName(true, "Engine.cpp", true, "Start"), kBase + 0x10);
    EXPECT_EQ(m.FindPublicByName(true, "Engine.h", false, "Start"), 0u);
    EXPECT_EQ(m.FindPublicByName(false, "Engine", false, "Start"), 0u);
}

TEST(Lookups, LineOutsideItsSegmentIsUnknownAndCachedRangesSkipLookups) {
    qix::TMapContent c;
    c.Segments = {{0, 0x40, "A", 0}, {0x80, 0x40, "B", 0}};
    c.Publics = {{"a", 0}, {"b", 0x80}};
    c.Lines = {{1, 0}, {2, 0x20}, {7, 0x80}, {8, 0x90}};
    const TMapFile m = LoadBlock(Block(c));
    TAddress next = 0;
    EXPECT_EQ(m.FindLine(kBase + 0x60, next), 0) << "between segments";
    EXPECT_EQ(m.FindLine(kBase + 0x85, next), 7);
    int32_t line = 0;
    TAddress from = 0, to = 0;
    qix::GetLineNumberCached(m, kBase + 0x22, line, from, to);
    EXPECT_EQ(line, 2);
    EXPECT_EQ(from, kBase + 0x22);
    EXPECT_EQ(to, kBase + 0x80);
    line = 99; // a cached range is trusted without a lookup
    qix::GetLineNumberCached(m, kBase + 0x30, line, from, to);
    EXPECT_EQ(line, 99);
    qix::GetLineNumberCached(m, kBase + 0x95, line, from, to);
    EXPECT_EQ(line, 8);
    EXPECT_EQ(to, kBase + 0x96) << "no next line: a one-byte range";
    qix::TAddressInfo info;
    EXPECT_FALSE(qix::GetAddressInfo(m, 0, info));
    ASSERT_TRUE(qix::GetAddressInfo(m, kBase + 0x85, info));
    EXPECT_EQ(info.UnitName, "B");
    EXPECT_EQ(info.PublicName, "b");
    EXPECT_EQ(info.PublicAddress, kBase + 0x80);
    EXPECT_EQ(m.GetPublicNameAt(kBase + 0x80), "B.b");
}

// ---- FB09/FB0A ----

namespace {

// Module Main (code 0..0x100, data), module Util (code 0x100..0x180), lines for Util.cpp, a
// procedure record and data and code publics.
Bytes BuildFb09() {
    Fb09Builder fb;
    const uint32_t main = fb.Name("C:\\src\\Main.pas"), util = fb.Name("D:/x/Util.cpp");
    const uint32_t paint = fb.Name("@Main@TForm1@Paint$qqrv"), data = fb.Name("@Main@Counter");
    const uint32_t helper = fb.Name("Helper"), loose = fb.Name("@Extra@Loose$qqrv");
    auto module = [](uint32_t name, std::vector<std::array<uint32_t, 3>> segs) {
        Bytes m(28, 0);
        m[4] = uint8_t(segs.size());
        Set32(m, 8, name);
        for (auto& s : segs)
            Put16(m, 0), Put16(m, uint16_t(s[0])), Put32(m, s[1]), Put32(m, s[2]);
        return m;
    };
    fb.Add(0x120, module(main, {{1, 0, 0x100}, {2, 0x10, 0x20}, {2, 0x40, 0x20}, {1, 0x300, 0}}));
    fb.Add(0x120, module(util, {{1, 0x100, 0x80}}));
    // Source module: its offsets point into the debug data, so it is placed last.
    Bytes globals(32, 0);
    auto rec = [&](uint16_t type, size_t size, size_t nameAt, uint32_t name, size_t offAt,
                   uint32_t off) {
        Bytes r(size, 0);
        r[0] = uint8_t(size - 2);
        r[2] = uint8_t(type);
        r[3] = uint8_t(type >> 8);
        Set32(r, nameAt, name);
        Set32(r, offAt, off);
        globals.insert(globals.end(), r.begin(), r.end());
    };
    rec(0x205, 48, 40, paint, 28, 0x20);
    rec(0x201, 24, 16, data, 4, 0x10);
    rec(0x20, 24, 12, helper, 20, 0x110);
    rec(0x20, 24, 12, loose, 20, 0x400);
    rec(0x20, 24, 12, 0, 20, 0x120); // nameless: skipped
    fb.Add(0x129, globals);
    const uint32_t srcAt = fb.BodyOffset(3, 4);
    Bytes src;
    Put16(src, 1);
    Put32(src, srcAt + 6); // file entry
    Put16(src, 2);         // two blocks
    Put32(src, util);
    Put32(src, srcAt + 6 + 14);             // block 1
    Put32(src, srcAt + 6 + 14 + 4 + 3 * 6); // block 2
    Put16(src, 1), Put16(src, 3);
    Put32(src, 0x100), Put32(src, 0x110), Put32(src, 0x140);
    Put16(src, 20), Put16(src, 21), Put16(src, 25);
    Put16(src, 3), Put16(src, 1), Put32(src, 0x150), Put16(src, 99); // segment 3: skipped
    fb.Add(0x127, src);
    return fb.Build();
}

TMapFile LoadFb09(const Bytes& data, bool codeOnly = false) {
    TMapFile m;
    m.SetBounds(0x1000, 0x2000, 0x8000, 0x9000);
    if (codeOnly) m = TMapFile(), m.SetBounds(0x1000, 0x2000, 0x8000, 0x9000);
    const bool ok = m.ReadSymbolTable(data);
    m.FinishLoad(ok);
    return m;
}

} // namespace

TEST(SymbolTable, ModulesLinesAndSymbolRecords) {
    const TMapFile m = LoadFb09(BuildFb09());
    ASSERT_TRUE(m.Valid());
    EXPECT_EQ(m.FindSegment(true, 0x1010).UnitName, "Main");
    EXPECT_EQ(m.FindSegment(true, 0x1120).UnitName, "Util.cpp");
    EXPECT_EQ(m.FindSegment(false, 0x8015).UnitName, "Main");
    EXPECT_FALSE(m.FindSegment(false, 0x8045).Valid) << "only the first data entry of a module";
    EXPECT_EQ(Name(m, 0x1025), "TForm1.Paint");
    EXPECT_EQ(Name(m, 0x1115), "Helper");
    EXPECT_EQ(m.FindPublicByName(false, "Main", true, "Counter"), 0x8010u);
    TAddress next = 0;
    EXPECT_EQ(m.FindLine(0x1112, next), 21);
    EXPECT_EQ(next, 0x1140u);
    for (const auto& l : m.Lines())
        EXPECT_NE(l.Line, 99);
    // A public outside every segment opens a segment of its own unit.
    EXPECT_EQ(m.FindSegment(true, 0x1400).UnitName, "Extra");
    EXPECT_EQ(Name(m, 0x1400), "Loose");
}

TEST(SymbolTable, DamagedTablesEndQuietly) {
    const Bytes good = BuildFb09();
    EXPECT_FALSE(LoadFb09(Bytes{'F', 'B', '0', '8', 8, 0, 0, 0}).Valid());
    Bytes loop = good;
    Set32(loop, 8 + 8, 8); // the directory names itself as the next one
    EXPECT_TRUE(LoadFb09(loop).Valid());
    for (size_t cut : {size_t(9), size_t(30), size_t(100), good.size() / 2, good.size() - 1})
        LoadFb09(Bytes(good.begin(), good.begin() + std::ptrdiff_t(cut)));
}

// ---- JDBG ----

namespace {

Bytes BuildJdbg(bool checksum) {
    JdbgBuilder j;
    const uint32_t main = j.XorName("C:\\src\\Main.pas");
    const uint32_t util = j.PackedName("Util", false);
    const uint32_t form = j.PackedName("TForm1", false);
    const uint32_t paint = j.XorName("Paint");
    const uint32_t start = j.PackedName("Start", true);
    j.Sources = {0, main, 0x100, util - main};
    // Symbols: (address delta, first delta, second delta), all accumulated.
    j.Symbols = {0x10, form, paint, 0x110, start - form, 0u - paint};
    j.Lines = {0, 10, 0x20, 2, 0x100, 5};
    return j.Build(checksum);
}

TMapFile LoadJdbg(const Bytes& b) {
    TMapFile m;
    m.SetBounds(0x1000, 0x1800);
    const bool ok = m.ReadJdbg(b);
    m.FinishLoad(ok);
    return m;
}

} // namespace

TEST(Jdbg, TablesBuildSegmentsPublicsAndLines) {
    const TMapFile m = LoadJdbg(BuildJdbg(true));
    ASSERT_TRUE(m.Valid());
    ASSERT_EQ(m.SegmentCount(), 2);
    EXPECT_EQ(m.FindSegment(true, 0x1050).UnitName, "Main");
    EXPECT_EQ(m.FindSegment(true, 0x1150).UnitName, "Util");
    EXPECT_EQ(m.Segments()[1].Start + m.Segments()[1].Length, 0x1800u) << "stretched to the top";
    EXPECT_EQ(Name(m, 0x1015), "TForm1.Paint");
    EXPECT_EQ(Name(m, 0x1125), "@Start");
    TAddress next = 0;
    EXPECT_EQ(m.FindLine(0x1021, next), 12);
    EXPECT_EQ(m.FindLine(0x1120, next), 17);
}

TEST(Jdbg, HeaderChecksReject) {
    EXPECT_TRUE(LoadJdbg(BuildJdbg(false)).Valid());
    Bytes b = BuildJdbg(true);
    b[b.size() - 1] ^= 1;
    EXPECT_FALSE(LoadJdbg(b).Valid()) << "checksum";
    b = BuildJdbg(true);
    b[4] = 2;
    EXPECT_FALSE(LoadJdbg(b).Valid()) << "version";
    b = BuildJdbg(false);
    b.push_back(0);
    EXPECT_FALSE(LoadJdbg(b).Valid()) << "size not a multiple of 4";
    b = BuildJdbg(false);
    b[0] = 'X';
    EXPECT_FALSE(LoadJdbg(b).Valid()) << "magic";
    EXPECT_FALSE(LoadJdbg(Bytes(32, 0)).Valid()) << "too short";
}

TEST(Jdbg, TablesWithoutTerminatorOrWithWildOffsetsEndQuietly) {
    Bytes b = BuildJdbg(false);
    Set32(b, 9, 0xFFFFFFF0);
    Set32(b, 21, uint32_t(b.size() - 1));
    LoadJdbg(b);
    b = BuildJdbg(false);
    std::fill(b.begin() + 36, b.end(), 0xFF);
    LoadJdbg(b);
}
