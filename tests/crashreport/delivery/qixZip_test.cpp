// Archives are judged by readers that share no code with the writer: Info-ZIP's
// `unzip -t` and Python's zipfile.
#include "crashreport/delivery/qixZip.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;
using qix::PackAttachments;
using qix::TAttachment;
using qix::WriteZipArchive;

namespace {

struct TEntryFacts {
    int Method = -1;
    std::string StoredCrc, ActualCrc, Time, Attributes, Name;
    long Offset = -1, Size = -1;
};

struct TArchiveFacts {
    long Count = -1, CdSize = -1, CdOffset = -1;
    bool EndAtEof = false;
    std::string TestZip;
    std::vector<TEntryFacts> Entries;
};

class ZipTest : public ::testing::Test {
protected:
    fs::path Dir;
    void SetUp() override {
        Dir = fs::temp_directory_path() /
              ("qixzip-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(Dir);
        fs::create_directories(Dir);
    }
    void TearDown() override { fs::remove_all(Dir); }

    std::string MakeFile(const std::string& name, const std::string& content,
                         const char* stamp = "2021-03-04 05:06:08") {
        const fs::path p = Dir / name;
        std::ofstream(p, std::ios::binary) << content;
        const std::string cmd = "touch -d '" + std::string(stamp) + "' '" + p.string() + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        return p.string();
    }

    static bool UnzipAccepts(const std::string& archive) {
        const std::string cmd = "unzip -tqq '" + archive + "' >/dev/null 2>&1";
        return std::system(cmd.c_str()) == 0;
    }

    TArchiveFacts Describe(const std::string& archive) {
        const fs::path out = Dir / "facts.txt";
        const std::string cmd = std::string("/usr/bin/python3 ") + QIX_ZIPINFO + " '" + archive +
                                "' > '" + out.string() + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        TArchiveFacts facts;
        std::ifstream in(out);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream ls(line);
            std::string kind;
            ls >> kind;
            if (kind == "end") {
                long total;
                std::string atEof;
                ls >> facts.Count >> total >> facts.CdSize >> facts.CdOffset >> atEof;
                facts.EndAtEof = atEof == "True" && total == facts.Count;
            } else if (kind == "testzip") {
                ls >> facts.TestZip;
            } else if (kind == "entry") {
                TEntryFacts e;
                int flags;
                ls >> e.Method >> e.StoredCrc >> e.ActualCrc >> e.Time >> e.Attributes >>
                    e.Offset >> e.Size >> flags;
                std::getline(ls >> std::ws, e.Name);
                facts.Entries.push_back(e);
            }
        }
        return facts;
    }

    static std::string Random(size_t n) {
        std::mt19937 gen(12345);
        std::string s(n, '\0');
        for (char& c : s)
            c = static_cast<char>(gen());
        return s;
    }
};

TEST_F(ZipTest, EntriesReadBackWithNamesCrcsTimesAndAttributes) {
    std::string text;
    for (int i = 0; i < 2000; ++i)
        text += "line " + std::to_string(i % 37) + " of the report\n";
    const std::string a = MakeFile("bugreport.txt", text);
    const std::string b = MakeFile("b.bin", Random(5000), "2019-12-31 23:59:59");
    const std::string archive = (Dir / "out.zip").string();

    ASSERT_TRUE(WriteZipArchive(archive, {a, b}, {"report.txt", "data.bin"}));
    EXPECT_TRUE(UnzipAccepts(archive));
    const TArchiveFacts f = Describe(archive);
    EXPECT_EQ(f.TestZip, "None");
    EXPECT_TRUE(f.EndAtEof);
    EXPECT_EQ(f.Count, 2);
    ASSERT_EQ(f.Entries.size(), 2u);
    EXPECT_EQ(f.Entries[0].Name, "report.txt");
    EXPECT_EQ(f.Entries[0].Method, 8);
    EXPECT_EQ(f.Entries[0].Size, static_cast<long>(text.size()));
    EXPECT_EQ(f.Entries[0].Time, "2021-03-04T05:06:08");
    EXPECT_EQ(f.Entries[1].Name, "data.bin");
    EXPECT_EQ(f.Entries[1].Time, "2019-12-31T23:59:58"); // DOS time has 2-second steps
    for (const TEntryFacts& e : f.Entries) {
        EXPECT_EQ(e.StoredCrc, e.ActualCrc) << e.Name;
        EXPECT_EQ(e.Attributes, "0x20") << e.Name;
    }
}

TEST_F(ZipTest, OneEntryDirectorySizeAndOffset) {
    const std::string a = MakeFile("a.txt", std::string(10000, 'x'));
    const std::string archive = (Dir / "one.zip").string();
    ASSERT_TRUE(WriteZipArchive(archive, {a}, {"bugreport.txt"}));
    const TArchiveFacts f = Describe(archive);
    ASSERT_EQ(f.Entries.size(), 1u);
    EXPECT_EQ(f.Entries[0].Offset, 0);
    EXPECT_EQ(f.CdSize, 46 + 13);
    // The local part is everything before the directory and its 22-byte end record.
    EXPECT_EQ(f.CdOffset, static_cast<long>(fs::file_size(archive)) - 22 - f.CdSize);
}

TEST_F(ZipTest, IncompressibleAndEmptyFilesAreStored) {
    const std::string noise = MakeFile("noise.bin", Random(64 * 1024));
    const std::string empty = MakeFile("empty.txt", "");
    const std::string archive = (Dir / "stored.zip").string();
    ASSERT_TRUE(WriteZipArchive(archive, {noise, empty}, {}));
    EXPECT_TRUE(UnzipAccepts(archive));
    const TArchiveFacts f = Describe(archive);
    EXPECT_EQ(f.TestZip, "None");
    ASSERT_EQ(f.Entries.size(), 2u);
    EXPECT_EQ(f.Entries[0].Method, 0);
    EXPECT_EQ(f.Entries[0].Size, 64 * 1024);
    EXPECT_EQ(f.Entries[0].StoredCrc, f.Entries[0].ActualCrc);
    EXPECT_EQ(f.Entries[1].Size, 0);
    EXPECT_EQ(f.Entries[1].Name, "empty.txt");
}

TEST_F(ZipTest, MissingNamesAndUnreadableFilesAndOldDates) {
    const std::string a = MakeFile("first.txt", "one");
    const std::string b = MakeFile("second.txt", "two", "1975-06-01 12:00:00");
    const std::string archive = (Dir / "names.zip").string();
    ASSERT_TRUE(
        WriteZipArchive(archive, {a, (Dir / "gone.txt").string(), Dir.string(), b}, {"named.txt"}));
    const TArchiveFacts f = Describe(archive);
    EXPECT_EQ(f.TestZip, "None");
    ASSERT_EQ(f.Entries.size(), 2u);
    EXPECT_EQ(f.Entries[0].Name, "named.txt");
    EXPECT_EQ(f.Entries[1].Name, "second.txt");
    // Before the DOS epoch: the earliest date it can hold, not a wrapped one.
    EXPECT_EQ(f.Entries[1].Time, "1980-01-01T00:00:00");
}

TEST_F(ZipTest, NoEntryOrNoFolderLeavesNoArchive) {
    const std::string archive = (Dir / "none.zip").string();
    std::ofstream(archive) << "old archive";
    EXPECT_FALSE(WriteZipArchive(archive, {(Dir / "gone").string()}, {}));
    EXPECT_FALSE(fs::exists(archive));
    EXPECT_FALSE(WriteZipArchive(archive, {}, {}));
    EXPECT_FALSE(fs::exists(archive));
    const std::string a = MakeFile("a.txt", "a");
    EXPECT_FALSE(WriteZipArchive((Dir / "no" / "such" / "x.zip").string(), {a}, {}));
}

// A disk that fills up half-way: the file-size limit makes writes fail past 64 KiB.
TEST_F(ZipTest, FailedWriteLeavesNoPartialArchive) {
    const std::string noise = MakeFile("noise.bin", Random(300 * 1024));
    const std::string archive = (Dir / "full.zip").string();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64 * 1024, 64 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        const bool ok = WriteZipArchive(archive, {noise}, {});
        _exit(ok ? 1 : fs::exists(archive) ? 2 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: reported success, 2: partial archive left";
    EXPECT_FALSE(fs::exists(archive));
}

TEST_F(ZipTest, PackAttachmentsGroupsByZipNameIgnoringCase) {
    const std::string a = MakeFile("a.txt", "alpha");
    const std::string b = MakeFile("b.txt", "beta");
    const std::string c = MakeFile("c.txt", "gamma");
    const fs::path temp = Dir / "temp";
    fs::create_directories(temp);
    const std::vector<TAttachment> list = {
        {a, "bugreport.txt", "Report.zip", "BugReport"},
        {c, "plain.txt", "", "Plain"},
        {b, "extra.txt", "REPORT.ZIP", "Other"},
        {(Dir / "gone1").string(), "x", "lost.zip", "Lost"},
        {(Dir / "gone2").string(), "y", "LOST.zip", "Lost"},
    };
    const auto sent = PackAttachments(list, temp.string());
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].File, (temp / "Report.zip").string());
    EXPECT_EQ(sent[0].FieldName, "Report.zip");
    EXPECT_EQ(sent[0].SendAsName, "Report.zip");
    EXPECT_EQ(sent[1].File, c);
    EXPECT_EQ(sent[1].FieldName, "Plain");
    EXPECT_EQ(sent[1].SendAsName, "plain.txt");
    EXPECT_FALSE(fs::exists(temp / "lost.zip"));

    const TArchiveFacts f = Describe(sent[0].File);
    ASSERT_EQ(f.Entries.size(), 2u);
    EXPECT_EQ(f.Entries[0].Name, "bugreport.txt");
    EXPECT_EQ(f.Entries[1].Name, "extra.txt");

    // Without a temporary folder the zipped group cannot be built and is dropped.
    const auto noTemp = PackAttachments(list, "");
    ASSERT_EQ(noTemp.size(), 1u);
    EXPECT_EQ(noTemp[0].File, c);
}

} // namespace
