// What qixres writes for MinDebugInfo is what the map reader finds: the tool's own output file,
// embedded as the module's settings next to a reduced map data block.
#include "crashreport/analysis/qixMapFile.h"
#include "crashreport/analysis/qixPeImage.h"
#include "tests/crashreport/analysis/MapTestData.h"
#include "tools/qixmap/PeEmbed.h"
#include "tools/qixmap/qixMapWriter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace qixtest;
using qix::TAddress;
using qix::TMapFile;

namespace {

constexpr TAddress kRun = 0x401041; // inside the second public, "Run"

qix::TMapContent Content() {
    qix::TMapContent c;
    c.Segments = {{0, 0x100, "Main", 0}, {0x100, 0x80, "Util.cpp", 1}};
    c.Publics = {{"Start", 0}, {"Run", 0x40}, {"Helper", 0x100}};
    c.Lines = {{10, 0}, {11, 0x10}, {12, 0x48}, {30, 0x100}};
    return c;
}

class QixresMinDebugInfo : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("qixres_map_" + std::to_string(getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    void Write(const std::string& name, const Bytes& data) {
        std::ofstream(dir_ / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    }

    // Runs the qixres program on a settings text and returns the file it wrote.
    Bytes RunQixres(const std::string& text) {
        std::ofstream(dir_ / "settings.txt") << text;
        const fs::path out = dir_ / "TQIXEXCEPT.bin";
        const std::string cmd = std::string("'") + QIXRES_TOOL + "' '" +
                                (dir_ / "settings.txt").string() + "' '" + out.string() + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        std::ifstream in(out, std::ios::binary);
        return Bytes((std::istreambuf_iterator<char>(in)), {});
    }

    // app.exe with the reduced block and the given settings, loaded as the reader would.
    TMapFile LoadModule(const Bytes& settings) {
        const Bytes reduced = qix::BuildMapBlock(Content(), {3, 0x11111111, 0x22222222, 1});
        Bytes exe = qix::EmbedResource(MinimalPe(), u"QIX", u"EXCEPT", reduced);
        exe = qix::EmbedResource(exe, u"#10", u"TQIXEXCEPT", settings);
        Write("app.exe", exe);
        const qix::TPeImage pe(exe, false);
        EXPECT_TRUE(pe.Valid());
        return TMapFile(true, false, {&pe, TAddress(pe.ImageBase()), (dir_ / "app.exe").string()});
    }

    fs::path dir_;
};

TEST_F(QixresMinDebugInfo, FullBlockBesideTheModuleIsFoundAndTheIdentificationDropped) {
    const Bytes full = qix::BuildMapBlock(Content(), {3, 0x12345678, 0x9abcdef0, 0});
    const std::string id = qix::MapDataIdentification(full);
    ASSERT_EQ(id.size(), 31u);
    Write("app.qix", full);
    const TMapFile m = LoadModule(RunQixres("Enabled = true\nMinDebugInfo = " + id + "\n"));
    ASSERT_TRUE(m.Valid());
    EXPECT_EQ(m.FindPublic(kRun).Name, "Run");
    EXPECT_EQ(m.Segments()[1].UnitName, "Util.cpp");
    EXPECT_EQ(m.MinDebugInfo(), "");
}

TEST_F(QixresMinDebugInfo, WithoutTheFullBlockTheReducedOneKeepsTheIdentification) {
    const std::string id = "$00000100, $12345678, $9abcdef0";
    // Short strings before and after: the reader must still find the one it wants.
    const TMapFile m = LoadModule(
        RunQixres("MailAddr = bugs@example.org\nMinDebugInfo = " + id + "\nTitleBar = crashed\n"));
    ASSERT_TRUE(m.Valid());
    EXPECT_EQ(m.FindPublic(kRun).Name, "public%1");
    EXPECT_EQ(m.MinDebugInfo(), id);
}

TEST_F(QixresMinDebugInfo, ReducedBlockBesideTheModuleIsNotTakenForTheFullOne) {
    const Bytes other = qix::BuildMapBlock(Content(), {3, 0x12345678, 0x9abcdef0, 1});
    const std::string id = qix::MapDataIdentification(other);
    Write("app.qix", other);
    const TMapFile m = LoadModule(RunQixres("MinDebugInfo = " + id + "\n"));
    ASSERT_TRUE(m.Valid());
    EXPECT_EQ(m.FindPublic(kRun).Name, "public%1");
    EXPECT_EQ(m.MinDebugInfo(), id);
}

TEST_F(QixresMinDebugInfo, IdentificationOfAnotherLengthIsRefused) {
    std::ofstream(dir_ / "bad.txt") << "MinDebugInfo = $00000100, $12345678\n";
    const std::string cmd = std::string("'") + QIXRES_TOOL + "' '" + (dir_ / "bad.txt").string() +
                            "' '" + (dir_ / "bad.bin").string() + "' 2>/dev/null";
    EXPECT_NE(std::system(cmd.c_str()), 0);
    EXPECT_FALSE(fs::exists(dir_ / "bad.bin"));
}

} // namespace
