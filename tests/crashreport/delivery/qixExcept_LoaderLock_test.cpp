// The loader-lock test against the system loader's own lock (taken through ntdll, as a DLL
// being loaded would hold it), and what delivery does while it is held.
#include "crashreport/core/qixExcept_LoaderLock.h"
#include "crashreport/delivery/qixExceptSend_WinMail.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace qix {
namespace {

using TLdrLock = LONG(WINAPI*)(ULONG flags, ULONG* state, ULONG_PTR* cookie);
using TLdrUnlock = LONG(WINAPI*)(ULONG flags, ULONG_PTR cookie);

template <typename F> F Ntdll(const char* name) {
    return reinterpret_cast<F>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), name)));
}

// Holds the loader lock on a thread of its own until destroyed.
class TLoaderLockHolder {
public:
    TLoaderLockHolder() {
        Taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        Release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        Thread = CreateThread(nullptr, 0, Hold, this, 0, nullptr);
        WaitForSingleObject(Taken, 10000);
    }
    ~TLoaderLockHolder() {
        SetEvent(Release);
        WaitForSingleObject(Thread, 10000);
        CloseHandle(Thread);
        CloseHandle(Taken);
        CloseHandle(Release);
    }
    TLoaderLockHolder(const TLoaderLockHolder&) = delete;
    TLoaderLockHolder& operator=(const TLoaderLockHolder&) = delete;
    bool Held = false;

private:
    static DWORD WINAPI Hold(LPVOID p) {
        auto& self = *static_cast<TLoaderLockHolder*>(p);
        ULONG_PTR cookie = 0;
        self.Held = Ntdll<TLdrLock>("LdrLockLoaderLock")(0, nullptr, &cookie) == 0;
        SetEvent(self.Taken);
        WaitForSingleObject(self.Release, INFINITE);
        if (self.Held) Ntdll<TLdrUnlock>("LdrUnlockLoaderLock")(0, cookie);
        return 0;
    }
    HANDLE Taken, Release, Thread;
};

TEST(LoaderLock, HeldByAnotherThreadOrByTheCallerBlocks) {
    ASSERT_TRUE(Ntdll<TLdrLock>("LdrLockLoaderLock") && Ntdll<TLdrUnlock>("LdrUnlockLoaderLock"))
        << "ntdll exports the loader lock";
    EXPECT_FALSE(ProcessIsBlocked()) << "nobody holds it";
    {
        TLoaderLockHolder holder;
        ASSERT_TRUE(holder.Held);
        EXPECT_TRUE(ProcessIsBlocked());
    }
    EXPECT_FALSE(ProcessIsBlocked()) << "released again";

    ULONG_PTR cookie = 0;
    ASSERT_EQ(Ntdll<TLdrLock>("LdrLockLoaderLock")(0, nullptr, &cookie), 0);
    const bool blocked = ProcessIsBlocked();
    Ntdll<TLdrUnlock>("LdrUnlockLoaderLock")(0, cookie);
    EXPECT_TRUE(blocked) << "the caller's own hold counts too";
}

TEST(LoaderLock, MailProgramIsNotAskedWhileItIsHeld) {
    const bool loadedBefore = GetModuleHandleA("mapi32.dll") != nullptr;
    {
        TLoaderLockHolder holder;
        ASSERT_TRUE(holder.Held);
        EXPECT_EQ(
            SendViaMapi("dev@example.org", "bug report", "see attachment", true, nullptr, {}, {}),
            TMapiResult::Failed);
    }
    if (!loadedBefore) {
        EXPECT_EQ(GetModuleHandleA("mapi32.dll"), nullptr) << "not even loaded";
    }
}

} // namespace
} // namespace qix
