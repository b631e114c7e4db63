// Whether the process may switch threads safely: a thread that holds the loader lock or the
// PEB lock would deadlock anyone who waits for a thread needing it.
#pragma once

namespace qix {

// The loader lock or the PEB lock is held: at once when the calling thread holds one,
// otherwise after polling every 10 ms for up to 250 ms.
bool ProcessIsBlocked();

} // namespace qix
