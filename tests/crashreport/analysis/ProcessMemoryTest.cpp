// The own-process reader: guarded reads, the readable-range snapshot and image lookup.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

#include "crashreport/analysis/qixDisAsm.h"
#include "crashreport/analysis/qixDisAsmProcessMemory.h"

namespace qix {
namespace {

// Addresses are 32-bit, so the page has to live below 4 GB even in a 64-bit test.
uint8_t* LowPage() {
    for (uintptr_t at = 0x10000000; at < 0x70000000; at += 0x01000000)
        if (void* page = VirtualAlloc(reinterpret_cast<void*>(at), 4096, MEM_RESERVE | MEM_COMMIT,
                                      PAGE_READWRITE))
            return static_cast<uint8_t*>(page);
    return nullptr;
}

TEST(ProcessMemory, GuardedReadsFollowProtection) {
    uint8_t* page = LowPage();
    ASSERT_NE(page, nullptr);
    const TAddress base = static_cast<TAddress>(reinterpret_cast<uintptr_t>(page));
    const uint8_t code[] = {0xFF, 0x15, 0, 0, 0, 0, 0xC3};
    memcpy(page, code, sizeof code);
    // call dword ptr [base+$100] with the cell pointing back at base
    *reinterpret_cast<uint32_t*>(page + 2) = base + 0x100;
    *reinterpret_cast<uint32_t*>(page + 0x100) = base + 0x200;

    TProcessMemoryReader memory;
    TDisAsmContext context;
    context.Memory = &memory;
    TInstructionInfo info;
    DecodeInstruction(context, base, info);
    EXPECT_TRUE(info.IsValid);
    EXPECT_EQ(info.Target, base + 0x200);
    EXPECT_EQ(info.TargetCell, base + 0x100);

    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(page, 4096, PAGE_NOACCESS, &old));
    TReadableRanges snapshot = BeginTryRead(memory);
    uint8_t byte = 0;
    EXPECT_FALSE(TryReadMemory(memory, base, &byte, 1, &snapshot));
    context.Snapshot = &snapshot;
    DecodeInstruction(context, base, info);
    EXPECT_FALSE(info.IsValid);
    EndTryRead(snapshot);

    ASSERT_TRUE(VirtualFree(page, 0, MEM_RELEASE));
    EXPECT_FALSE(TryReadMemory(memory, base, &byte, 1)) << "freed memory";
    TFunctionInfo function;
    context.Snapshot = nullptr;
    ParseFunction(context, base, function);
    EXPECT_EQ(function.ErrorCode, 87);
}

// Memory that goes away between the protection check and the copy: the read fails or
// gives the bytes that were there, and never faults.
TEST(ProcessMemory, ReadsRaceAPageThatComesAndGoes) {
    uint8_t* page = LowPage();
    ASSERT_NE(page, nullptr);
    std::atomic<bool> stop{false};
    std::thread flipper([&] {
        while (!stop.load()) {
            VirtualFree(page, 4096, MEM_DECOMMIT);
            if (VirtualAlloc(page, 4096, MEM_COMMIT, PAGE_READWRITE)) memset(page, 0x5A, 4096);
        }
    });
    std::vector<uint8_t> copy(4096);
    int good = 0, failed = 0;
    for (int i = 0; i < 3000; ++i) {
        if (ReadOwnMemory(page, copy.data(), copy.size())) {
            // A page recommitted mid-copy reads as zeros up to the refill.
            for (uint8_t b : copy)
                ASSERT_TRUE(b == 0x5A || b == 0) << "read " << int(b);
            ++good;
        } else {
            ++failed;
        }
    }
    stop.store(true);
    flipper.join();
    VirtualFree(page, 0, MEM_RELEASE);
    EXPECT_EQ(good + failed, 3000);
}

TEST(ProcessMemory, FindsTheMainImage) {
    TProcessMemoryReader memory;
    TImageInfo image;
    const uintptr_t self = reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr));
    if (self > 0xFFFFFFFFu) GTEST_SKIP() << "image above 4 GB";
    // A 64-bit image has no 32-bit optional header, so only the 32-bit build finds it.
    const bool found = memory.FindImage(static_cast<TAddress>(self) + 0x1000, image);
    EXPECT_EQ(found, sizeof(void*) == 4);
    if (found) {
        EXPECT_TRUE(image.IsMainModule);
        EXPECT_EQ(image.ImageStart, static_cast<TAddress>(self));
    }
}

} // namespace
} // namespace qix
