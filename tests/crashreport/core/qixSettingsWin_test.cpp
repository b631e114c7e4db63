// Windows side of the settings: this test executable carries a TQIXEXCEPT resource
// compiled from qixres_cases/good.txt by qix_embed_settings().
#include "crashreport/core/qixExcept_SettingsWin.h"

#include <windows.h>

#include <gtest/gtest.h>

using namespace qix;

namespace {

TModuleHandle ExeModule() {
    return reinterpret_cast<TModuleHandle>(GetModuleHandleA(nullptr));
}
TModuleHandle Kernel32() {
    return reinterpret_cast<TModuleHandle>(GetModuleHandleA("kernel32.dll"));
}

bool BufferExists() {
    HANDLE h = OpenFileMappingA(FILE_MAP_READ, FALSE, SettingsBufferName().c_str());
    if (h) CloseHandle(h);
    return h != nullptr;
}

} // namespace

TEST(QixSettingsWin, ObjectNamesCarryTheProcessId) {
    char suffix[32];
    wsprintfA(suffix, "$%lx", GetCurrentProcessId());
    EXPECT_EQ(SettingsBufferName(), std::string("qixExceptSettingsBuf") + suffix);
    EXPECT_EQ(SettingsMutexName(), std::string("qixExceptSettingsMtx") + suffix);
}

TEST(QixSettingsWin, EmbeddedResourceIsLoadedAndPasswordDecoded) {
    ASSERT_FALSE(FindSettingsResource(ExeModule()).empty());
    auto s = ModuleSettings(ExeModule());
    ASSERT_TRUE(s->Valid());
    EXPECT_TRUE(s->Enabled());
    EXPECT_FALSE(s->NoSettings());
    EXPECT_EQ(s->AutoDelay(), 17);
    EXPECT_EQ(s->SmtpPassword(), "s3cret");
    EXPECT_EQ(s->Plugins(), "modules|hardware");
    EXPECT_EQ(s->TitleBar(), "qixSettingsWin_test.exe");
    EXPECT_EQ(s->SmtpPort(), 25);
}

TEST(QixSettingsWin, SharedBufferLivesWhileSettingsDo) {
    EXPECT_FALSE(BufferExists());
    {
        auto a = ModuleSettings(ExeModule());
        auto b = ModuleSettings(ExeModule());
        EXPECT_TRUE(BufferExists());
        // Both objects see one record per module and process.
        ASSERT_TRUE(a->SetAutoDelay(5));
        EXPECT_EQ(b->AutoDelay(), 5);
        a.reset();
        EXPECT_EQ(b->AutoDelay(), 5);
    }
    EXPECT_FALSE(BufferExists());
    // Released records are loaded afresh.
    EXPECT_EQ(ModuleSettings(ExeModule())->AutoDelay(), 17);
}

TEST(QixSettingsWin, ModuleWithoutResourceGivesDefaults) {
    auto s = ModuleSettings(Kernel32());
    EXPECT_FALSE(s->Valid());
    EXPECT_FALSE(s->Enabled());
    EXPECT_FALSE(s->SetSmtpPort(99));
    EXPECT_EQ(s->SmtpPort(), 25);
    EXPECT_EQ(s->DupFreezeDef(), 2);
}

TEST(QixSettingsWin, FindSettingsPrefersAModuleThatDoesNotDefer) {
    // Code of this executable: its own settings.
    auto here = FindSettings(reinterpret_cast<const void*>(&ExeModule));
    EXPECT_EQ(here->OwnerModule(), ExeModule());
    EXPECT_EQ(here->AutoDelay(), 17);
    // Code of a system module without settings: the search finds ours.
    auto system = FindSettings(reinterpret_cast<const void*>(
        GetProcAddress(reinterpret_cast<HMODULE>(Kernel32()), "GetTickCount")));
    EXPECT_EQ(system->OwnerModule(), ExeModule());
    // Nothing mapped there: still our settings, never a crash.
    EXPECT_EQ(FindSettings(reinterpret_cast<const void*>(0x10))->OwnerModule(), ExeModule());
    EXPECT_EQ(CallerSettings(0)->OwnerModule(), ExeModule());
}
