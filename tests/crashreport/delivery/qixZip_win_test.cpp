// The Windows facts of an entry: attributes as GetFileAttributesA reports them and the
// last-write time in local DOS form, read back from the archive's own bytes.
#include "crashreport/delivery/qixZip.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <iterator>

namespace {

uint32_t Get(const std::string& s, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | static_cast<uint8_t>(s[at + i]);
    return v;
}

TEST(ZipWindowsTest, EntryCarriesAttributesAndLocalTime) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string source = std::string(temp) + "qixzip-src.txt";
    const std::string archive = std::string(temp) + "qixzip.zip";
    std::ofstream(source, std::ios::binary) << std::string(3000, 'q');
    ASSERT_TRUE(SetFileAttributesA(source.c_str(), FILE_ATTRIBUTE_ARCHIVE));

    SYSTEMTIME local{2022, 7, 0, 14, 16, 45, 31, 0}, utc;
    FILETIME stamp;
    ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc));
    ASSERT_TRUE(SystemTimeToFileTime(&utc, &stamp));
    HANDLE h =
        CreateFileA(source.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, &stamp));
    CloseHandle(h);

    ASSERT_TRUE(qix::WriteZipArchive(archive, {source}, {}));
    std::ifstream in(archive, std::ios::binary);
    const std::string zip((std::istreambuf_iterator<char>(in)), {});
    in.close();
    const std::string name = "qixzip-src.txt";
    ASSERT_GE(zip.size(), 30 + name.size() + 46 + name.size() + 22);
    EXPECT_EQ(zip.substr(30, name.size()), name); // named after the part behind the backslash
    const size_t central = Get(zip, zip.size() - 22 + 16, 4);
    ASSERT_EQ(Get(zip, central, 4), 0x02014B50u);
    EXPECT_EQ(Get(zip, central + 38, 4), 0x20u);
    const uint32_t time = Get(zip, 10, 2), date = Get(zip, 12, 2);
    EXPECT_EQ(date >> 9, 2022u - 1980u);
    EXPECT_EQ((date >> 5) & 15, 7u);
    EXPECT_EQ(date & 31, 14u);
    EXPECT_EQ(time >> 11, 16u);
    EXPECT_EQ((time >> 5) & 63, 45u);
    EXPECT_EQ((time & 31) * 2, 30u);
    DeleteFileA(source.c_str());
    DeleteFileA(archive.c_str());
}

} // namespace
