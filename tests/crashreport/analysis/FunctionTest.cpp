// Function parsing and listings over hand-assembled functions.
#include <gtest/gtest.h>

#include <map>

#include "crashreport/analysis/qixDisAsm.h"

namespace qix {
namespace {

constexpr TAddress kEntry = 0x00401000;

class Function : public ::testing::Test {
protected:
    void Code(std::vector<uint8_t> bytes) {
        FMemory.AddRegion(kEntry, std::move(bytes));
        FContext.Memory = &FMemory;
    }
    TFunctionInfo Parse() {
        TFunctionInfo info;
        ParseFunction(FContext, kEntry, info);
        return info;
    }
    static std::vector<std::string> Lines(const std::string& text) {
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t p; (p = text.find("\r\n", start)) != std::string::npos; start = p + 2)
            lines.push_back(text.substr(start, p - start));
        lines.push_back(text.substr(start));
        return lines;
    }
    TBufferMemoryReader FMemory;
    TDisAsmContext FContext;
};

// cmp eax, 5 / ja|jae default / jmp [eax*4+table] / table right after the jump / cases.
std::vector<uint8_t> SwitchFunction(uint8_t condition) {
    std::vector<uint8_t> code = {0x83, 0xF8, 0x05, condition, 0x1F, 0xFF,
                                 0x24, 0x85, 0x0C, 0x10,      0x40, 0x00};
    for (TAddress i = 0; i < 6; ++i) {
        TAddress target = 0x00401025 + 2 * i;
        for (int b = 0; b < 4; ++b)
            code.push_back(static_cast<uint8_t>(target >> (8 * b)));
    }
    code.push_back(0xC3); // 401024: default
    for (int i = 0; i < 6; ++i)
        code.insert(code.end(), {0x40, 0xC3}); // inc eax; ret
    return code;
}

const TCodeArea* AreaAt(const TFunctionInfo& info, TAddress start) {
    for (const TCodeArea& a : info.CodeAreas)
        if (a.AreaStart == start) return &a;
    return nullptr;
}

TEST_F(Function, JumpTableAfterJaHasCountPlusOneEntries) {
    Code(SwitchFunction(0x77));
    TFunctionInfo info = Parse();
    ASSERT_TRUE(info.IsValid) << info.ErrorText;
    const TCodeArea* table = AreaAt(info, 0x0040100C);
    ASSERT_NE(table, nullptr);
    EXPECT_TRUE(table->IsCaseTable);
    EXPECT_EQ(table->AreaEnd, 0x0040100Cu + 6 * 4 - 1);
    for (TAddress i = 0; i < 6; ++i) {
        const TCodeArea* entry = AreaAt(info, 0x00401025 + 2 * i);
        ASSERT_NE(entry, nullptr) << i;
        EXPECT_EQ(entry->CalledFrom, 0x00401005u);
    }
    EXPECT_EQ(info.CodeBegin, kEntry);
    EXPECT_EQ(info.CodeLength, 0x31);
    EXPECT_TRUE(info.UnknownTargets.empty());
}

TEST_F(Function, JumpTableAfterJaeHasCountEntries) {
    Code(SwitchFunction(0x73));
    TFunctionInfo info = Parse();
    ASSERT_TRUE(info.IsValid) << info.ErrorText;
    const TCodeArea* table = AreaAt(info, 0x0040100C);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->AreaEnd, 0x0040100Cu + 5 * 4 - 1);
    EXPECT_NE(AreaAt(info, 0x0040102D), nullptr);
    EXPECT_EQ(AreaAt(info, 0x0040102F), nullptr) << "the sixth entry is outside the table";
}

TEST_F(Function, ErrorsAreReportedNotRaised) {
    Code({0x40, 0xFF, 0xFF});
    TFunctionInfo invalid = Parse();
    EXPECT_FALSE(invalid.IsValid);
    EXPECT_EQ(invalid.ErrorAddress, kEntry + 1);
    EXPECT_EQ(invalid.ErrorCode, 0x00770001);
    EXPECT_EQ(invalid.ErrorText, "Invalid code!");

    TFunctionInfo missing;
    ParseFunction(FContext, 0x00700000, missing);
    EXPECT_FALSE(missing.IsValid);
    EXPECT_EQ(missing.ErrorCode, 87);
}

TEST_F(Function, NoReturnRoutineEndsTheArea) {
    // call $00401100 followed by bytes that are no code
    std::vector<uint8_t> code = {0xE8, 0xFB, 0x00, 0x00, 0x00, 0xFF, 0xFF};
    code.resize(0x101, 0x90);
    code.push_back(0xC3);
    Code(code);
    EXPECT_FALSE(Parse().IsValid);
    FContext.Routines.NoReturn = {0x00401100};
    TFunctionInfo info = Parse();
    ASSERT_TRUE(info.IsValid);
    EXPECT_EQ(info.CodeLength, 5);
    ASSERT_EQ(info.FarCalls.size(), 1u);
    EXPECT_EQ(info.FarCalls[0].Target, 0x00401100u);
    EXPECT_TRUE(info.FarCalls[0].IsRelative);
}

TEST_F(Function, CopySizeCountsCallsThroughCells) {
    // call [$00402000]; call $00401100; call eax; ret
    std::vector<uint8_t> code = {0xFF, 0x15, 0x00, 0x20, 0x40, 0x00, 0xE8,
                                 0xF5, 0x00, 0x00, 0x00, 0xFF, 0xD0, 0xC3};
    code.resize(0x200, 0xCC);
    Code(code);
    FMemory.AddRegion(0x00402000, {0x00, 0x30, 0x40, 0x00});
    TFunctionInfo info = Parse();
    ASSERT_TRUE(info.IsValid);
    EXPECT_EQ(info.CodeLength, 14);
    EXPECT_EQ(info.CopySize, 14 + 4 + 4);
    ASSERT_EQ(info.FarCalls.size(), 2u);
    EXPECT_EQ(info.FarCalls[0].TargetCell, 0x00402000u);
    EXPECT_EQ(info.FarCalls[0].Target, 0x00403000u);
    ASSERT_EQ(info.UnknownTargets.size(), 1u);
    EXPECT_TRUE(info.UnknownTargets[0].IsCall);
    EXPECT_EQ(info.UnknownTargets[0].Start, 0x0040100Bu);
    EXPECT_EQ(info.UnknownTargets[0].Next, 0x0040100Du);
}

TEST_F(Function, Hookability) {
    Code({0x55, 0x8B, 0xEC, 0x83, 0xEC, 0x08, 0x8B, 0xE5, 0x5D, 0xC3}); // push ebp ... ret
    EXPECT_TRUE(Parse().IsHookable);
}

TEST_F(Function, ShortJumpAtEntryIsNotHookable) {
    Code({0xEB, 0x00, 0x90, 0x90, 0x90, 0x90, 0x90, 0xC3});
    TFunctionInfo info = Parse();
    EXPECT_TRUE(info.IsValid);
    EXPECT_FALSE(info.IsHookable);
}

TEST_F(Function, LoopBackToEntryIsNotHookable) {
    Code({0x40, 0x48, 0x40, 0x48, 0x40, 0x48, 0x75, 0xF8, 0xC3}); // ... jnz entry
    TFunctionInfo info = Parse();
    EXPECT_TRUE(info.IsValid);
    EXPECT_FALSE(info.IsHookable);
}

TEST_F(Function, RegisterValuesResolveJumps) {
    // mov eax, $0040100a; jmp eax; int3; int3; 40100a: ret
    Code({0xB8, 0x0A, 0x10, 0x40, 0x00, 0xFF, 0xE0, 0xCC, 0xCC, 0xCC, 0xC3});
    TFunctionInfo info = Parse();
    ASSERT_TRUE(info.IsValid);
    EXPECT_NE(AreaAt(info, 0x0040100A), nullptr);
    EXPECT_TRUE(info.UnknownTargets.empty());
}

TEST_F(Function, StructuredListingHasLabelsAndSeparators) {
    Code({0x85, 0xC0, 0x74, 0x03, 0x31, 0xC0, 0xC3, 0x40, 0xC3});
    TFunctionInfo info;
    std::string text = DisassembleFunction(FContext, kEntry, 0, info, true, 0);
    const std::vector<std::string> expected = {
        "sub_401000:                      ; function entry point",
        "00401000   test    eax, eax",
        "00401002   jz      loc_401007",
        "00401004   xor     eax, eax",
        "00401006   ret",
        "; ---------------------------------------------------------",
        "",
        "loc_401007:",
        "00401007   inc     eax",
        "00401008   ret",
    };
    EXPECT_EQ(Lines(text), expected);
}

TEST_F(Function, LineLimitKeepsLinesAroundTheMark) {
    std::vector<uint8_t> code(30, 0x40); // inc eax
    code.push_back(0xC3);
    Code(code);
    TFunctionInfo info;
    const TAddress mark = kEntry + 20;
    std::vector<std::string> lines =
        Lines(DisassembleFunction(FContext, kEntry, mark, info, false, 5));
    ASSERT_EQ(lines.size(), 13u);
    EXPECT_EQ(lines.front(), "[...]");
    EXPECT_EQ(lines[1], "0040100f   inc     eax");
    EXPECT_EQ(lines[6], "00401014  >inc     eax");
    EXPECT_EQ(lines[11], "00401019   inc     eax");
    EXPECT_EQ(lines.back(), "[...]");
    // Without a limit every line is there and nothing is cut.
    lines = Lines(DisassembleFunction(FContext, kEntry, mark, info, false, 0));
    EXPECT_EQ(lines.size(), 31u);
}

TEST_F(Function, LineNumbersAndNamesFromHooks) {
    Code({0x85, 0xC0, 0x74, 0x01, 0xC3, 0x40, 0xC3});
    const std::map<TAddress, int> lines = {{0x00401000, 8}, {0x00401004, 9}, {0x00401005, 12}};
    FContext.Hooks.LineNumber = [&](TAddress a) {
        auto it = lines.upper_bound(a);
        return it == lines.begin() ? 0 : std::prev(it)->second;
    };
    FContext.Hooks.ProcedureName = [](TAddress a) {
        return a == kEntry ? std::string("Probe") : std::string();
    };
    TFunctionInfo info;
    std::vector<std::string> text =
        Lines(DisassembleFunction(FContext, kEntry, 0x00401005, info, true, 0));
    const std::vector<std::string> expected = {
        "public Probe:                    ; function entry point",
        "00401000 08   test    eax, eax",
        "00401002      jz      loc_401005",
        "00401004 09   ret",
        "; ---------------------------------------------------------",
        "",
        "loc_401005:",
        "00401005 12  >inc     eax",
        "00401006      ret",
    };
    EXPECT_EQ(text, expected);
}

} // namespace
} // namespace qix
