// The module cache over loaded images: this test executable carries its own embedded block
// (qix_embed_map_data), so its functions must resolve with the DWARF stripped.
#include "crashreport/analysis/qixMapFile.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <thread>

// clang-format off
static const int kProbeLine = __LINE__; extern "C" __attribute__((noinline)) int QixWinProbe(int x) { return x * 7 + (x >> 3); }
// clang-format on

namespace {

qix::TAddress ProbeAddress() {
    return reinterpret_cast<qix::TAddress>(&QixWinProbe);
}

TEST(MapFileCache, OwnFunctionResolvesThroughTheEmbeddedBlock) {
    const auto map = qix::GetMapFileForAddress(ProbeAddress());
    ASSERT_TRUE(map->Valid());
    EXPECT_EQ(map->FindPublic(ProbeAddress()).Name, "QixWinProbe");
    EXPECT_EQ(map->FindSegment(true, ProbeAddress()).UnitName, "qixMapFileWin_test.cpp");
    qix::TAddress next = 0;
    EXPECT_EQ(map->FindLine(ProbeAddress(), next), kProbeLine);
    qix::TAddressInfo info;
    ASSERT_TRUE(qix::GetAddressInfo(ProbeAddress(), info));
    EXPECT_EQ(info.PublicAddress, ProbeAddress());
    EXPECT_EQ(qix::GetPublicNameAt(ProbeAddress()), "qixMapFileWin_test.cpp.QixWinProbe");
    EXPECT_EQ(QixWinProbe(1), 7);
}

TEST(MapFileCache, SameObjectUntilTheModuleFileChanges) {
    const auto first = qix::GetMapFileForAddress(ProbeAddress());
    EXPECT_EQ(qix::GetMapFileForAddress(0).get(), first.get()) << "null means the executable";
    EXPECT_EQ(qix::GetMapFileForAddress(ProbeAddress()).get(), first.get());
    // A new last-write time makes the next lookup load the module again.
    char path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(nullptr, path, MAX_PATH), 0u);
    HANDLE file = CreateFileA(path, FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << "the running executable cannot take a new time here";
    FILETIME t;
    GetSystemTimeAsFileTime(&t);
    ULARGE_INTEGER later;
    later.LowPart = t.dwLowDateTime;
    later.HighPart = t.dwHighDateTime;
    later.QuadPart += 3600ull * 10000000ull;
    t.dwLowDateTime = later.LowPart;
    t.dwHighDateTime = later.HighPart;
    const BOOL set = SetFileTime(file, nullptr, nullptr, &t);
    CloseHandle(file);
    ASSERT_TRUE(set);
    const auto reloaded = qix::GetMapFileForAddress(ProbeAddress());
    EXPECT_NE(reloaded.get(), first.get());
    EXPECT_TRUE(reloaded->Valid());
    EXPECT_EQ(first->FindPublic(ProbeAddress()).Name, "QixWinProbe") << "old object still usable";
}

TEST(MapFileCache, AddressesOutsideModulesGiveInvalidObjects) {
    EXPECT_FALSE(qix::GetMapFileForAddress(16)->Valid());
    const auto heap = std::make_unique<int>(1);
    EXPECT_FALSE(qix::GetMapFileForAddress(reinterpret_cast<qix::TAddress>(heap.get()))->Valid());
    qix::TAddressInfo info;
    EXPECT_FALSE(qix::GetAddressInfo(0, info));
}

TEST(MapFileCache, ConcurrentLookupsShareOneObject) {
    qix::ClearMapFileCache();
    const qix::TMapFile* seen[8] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] {
            for (int k = 0; k < 200; ++k)
                seen[i] = qix::GetMapFileForAddress(ProbeAddress()).get();
        });
    for (auto& t : threads)
        t.join();
    for (auto* p : seen)
        EXPECT_EQ(p, seen[0]);
    int32_t line = 0;
    qix::TAddress from = 0, to = 0;
    qix::GetLineNumberCached(ProbeAddress(), line, from, to);
    EXPECT_EQ(line, kProbeLine);
}

} // namespace
