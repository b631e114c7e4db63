// qixinspect lookup: output per address, and failures for bad files and addresses.
#include "tests/crashreport/analysis/MapTestData.h"
#include "tools/qixmap/PeEmbed.h"
#include "tools/qixmap/qixMapWriter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

int RunLookup(int argc, char** argv);

namespace fs = std::filesystem;

namespace {

struct TResult {
    int Status;
    std::string Out, Err;
};

TResult Lookup(std::vector<std::string> args) {
    args.insert(args.begin(), "lookup");
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = RunLookup(int(argv.size()), argv.data());
    return {status, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
}

class InspectLookup : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("qix_lookup_" + std::to_string(getpid()));
        fs::create_directories(dir_);
        qix::TMapContent c;
        c.Segments = {{0, 0x100, "engine.cpp", 0}};
        c.Publics = {{"Engine::Start", 0x10}};
        c.Lines = {{42, 0x10}, {43, 0x18}};
        const auto exe =
            qix::EmbedResource(qixtest::MinimalPe(), u"QIX", u"EXCEPT", qix::BuildMapBlock(c, {}));
        exe_ = (dir_ / "app.exe").string();
        std::ofstream(exe_, std::ios::binary)
            .write(reinterpret_cast<const char*>(exe.data()), std::streamsize(exe.size()));
        const auto bare = qixtest::MinimalPe();
        bare_ = (dir_ / "bare.exe").string();
        std::ofstream(bare_, std::ios::binary)
            .write(reinterpret_cast<const char*>(bare.data()), std::streamsize(bare.size()));
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
    std::string exe_, bare_;
};

TEST_F(InspectLookup, PrintsUnitProcedureAndLinePerAddress) {
    const TResult r = Lookup({exe_, "0x40101a", "401012", "401500"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_NE(r.Out.find("0040101a engine.cpp Engine::Start+0xa line 43"), std::string::npos)
        << r.Out;
    EXPECT_NE(r.Out.find("00401012 engine.cpp Engine::Start+0x2 line 42"), std::string::npos)
        << r.Out;
    EXPECT_NE(r.Out.find("00401500"), std::string::npos) << r.Out;
}

TEST_F(InspectLookup, BadInputsFailWithAMessage) {
    TResult r = Lookup({exe_});
    EXPECT_NE(r.Status, 0);
    EXPECT_NE(r.Err.find("usage"), std::string::npos);
    r = Lookup({(dir_ / "missing.exe").string(), "401000"});
    EXPECT_NE(r.Status, 0);
    EXPECT_NE(r.Err.find("cannot open"), std::string::npos);
    r = Lookup({bare_, "401000"});
    EXPECT_NE(r.Status, 0);
    EXPECT_NE(r.Err.find("no debug information"), std::string::npos);
    r = Lookup({exe_, "40zz00", "401010"});
    EXPECT_NE(r.Status, 0);
    EXPECT_NE(r.Err.find("40zz00"), std::string::npos);
    EXPECT_NE(r.Out.find("00401010"), std::string::npos) << "good addresses are still answered";
}

} // namespace
