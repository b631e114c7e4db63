#include "crashreport/core/qixExcept_LoaderLock.h"

#include <windows.h>

#include <cstdint>

namespace qix {
namespace {

// 0: free; 1: held by another thread; 2: held by the calling thread.
int Holder(const void* criticalSection) {
    if (!criticalSection) return 0;
    const auto* cs = static_cast<const RTL_CRITICAL_SECTION*>(criticalSection);
    const auto owner = reinterpret_cast<uintptr_t>(cs->OwningThread);
    if (owner == 0) return 0;
    return owner == GetCurrentThreadId() ? 2 : 1;
}

} // namespace

bool ProcessIsBlocked() {
    // PEB: FastPebLock and LoaderLock pointers.
    const uint8_t* peb = nullptr;
#if defined(__i386__)
    asm("movl %%fs:0x30, %0" : "=r"(peb));
#else
    asm("movq %%gs:0x60, %0" : "=r"(peb));
#endif
    constexpr size_t pebLock = sizeof(void*) == 4 ? 0x1c : 0x38;
    constexpr size_t loaderLock = sizeof(void*) == 4 ? 0xa0 : 0x110;
    for (int i = 0; i < 25; ++i) {
        const int a = Holder(*reinterpret_cast<void* const*>(peb + pebLock));
        const int b = Holder(*reinterpret_cast<void* const*>(peb + loaderLock));
        if (a == 0 && b == 0) return false;
        if (a == 2 || b == 2) return true; // waiting cannot help
        Sleep(10);
    }
    return true;
}

} // namespace qix
