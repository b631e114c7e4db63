// The one address type of the analysis units. They model the x86-32 address space; only a
// 64-bit Windows process, which looks up its own modules above 4 GB, needs it pointer-wide.
#pragma once
#include <cstdint>

namespace qix {

#if defined(_WIN64)
using TAddress = std::uintptr_t;
#else
using TAddress = std::uint32_t;
#endif

// A pointer of the own process as an address and back.
inline TAddress AddressOf(const void* pointer) {
    return static_cast<TAddress>(reinterpret_cast<std::uintptr_t>(pointer));
}
inline void* PointerOf(TAddress address) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(address));
}

} // namespace qix
