#include "crashreport/core/qixExcept_Handlers.h"

#include "crashreport/core/qixExcept_Exception.h"
#include "crashreport/core/qixExcept_Report.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace qix {
namespace {

struct TExceptEntry {
    TSyncMode sync;
    uint8_t phase;
    TExceptHandler proc;
};
struct TExceptEntryOO {
    TSyncMode sync;
    uint8_t phase;
    const void* key;
    TExceptHandlerOO method;
};
struct TActionEntry {
    TSyncMode sync;
    TActionHandler proc;
};
struct TActionEntryOO {
    TSyncMode sync;
    const void* key;
    TActionHandlerOO method;
};

struct TLists {
    std::vector<TExceptEntry> except, hidden;
    std::vector<TExceptEntryOO> exceptOO, hiddenOO;
    std::vector<TActionEntry> action;
    std::vector<TActionEntryOO> actionOO;
};

TLists& Lists() {
    static TLists& lists = *new TLists; // cleared, never destroyed: finalisation clears it
    return lists;
}

template <typename List, typename Match, typename Entry>
void Upsert(List& list, Match match, Entry entry) {
    std::lock_guard guard(HandlerLock());
    auto it = std::find_if(list.begin(), list.end(), match);
    if (it != list.end())
        *it = std::move(entry);
    else
        list.push_back(std::move(entry));
}

template <typename List, typename Match> void Remove(List& list, Match match) {
    std::lock_guard guard(HandlerLock());
    list.erase(std::remove_if(list.begin(), list.end(), match), list.end());
}

// Whether an entry takes part in this pass.
bool Eligible(TSyncMode sync, const TFireHandlersParams& p) {
    return (sync != kSyncNone) == p.callSync && (!p.syncFailed || sync == kSyncMainOrHere);
}

template <typename Call> void Guarded(Call call) {
    try {
        call();
    } catch (...) {
        // A failing handler never reaches the application.
    }
}

// Walks one list; the stop check follows each entry unless every entry is to be called.
template <typename List, typename Invoke>
bool Walk(const List& list, TFireHandlersParams& p, bool callAll, int phase, Invoke invoke) {
    bool called = false;
    for (const auto& entry : list) {
        if (!Eligible(entry.sync, p)) continue;
        if constexpr (requires { entry.phase; })
            if (phase >= 0 && entry.phase != phase) continue;
        called = true;
        Guarded([&] { invoke(entry); });
        if (p.handled && !callAll) break;
    }
    return called;
}

} // namespace

void RegisterExceptionHandler(TExceptHandler handler, TSyncMode sync, uint8_t phase) {
    Upsert(
        Lists().except, [&](const TExceptEntry& e) { return e.proc == handler; },
        TExceptEntry{sync, phase, handler});
}
void RegisterExceptionHandler(const void* key, TExceptHandlerOO handler, TSyncMode sync,
                              uint8_t phase) {
    Upsert(
        Lists().exceptOO, [&](const TExceptEntryOO& e) { return e.key == key; },
        TExceptEntryOO{sync, phase, key, std::move(handler)});
}
void UnregisterExceptionHandler(TExceptHandler handler) {
    Remove(Lists().except, [&](const TExceptEntry& e) { return e.proc == handler; });
}
void UnregisterExceptionHandler(const void* key) {
    Remove(Lists().exceptOO, [&](const TExceptEntryOO& e) { return e.key == key; });
}
void RegisterActionHandler(TActionHandler handler, TSyncMode sync) {
    Upsert(
        Lists().action, [&](const TActionEntry& e) { return e.proc == handler; },
        TActionEntry{sync, handler});
}
void RegisterActionHandler(const void* key, TActionHandlerOO handler, TSyncMode sync) {
    Upsert(
        Lists().actionOO, [&](const TActionEntryOO& e) { return e.key == key; },
        TActionEntryOO{sync, key, std::move(handler)});
}
void UnregisterActionHandler(TActionHandler handler) {
    Remove(Lists().action, [&](const TActionEntry& e) { return e.proc == handler; });
}
void UnregisterActionHandler(const void* key) {
    Remove(Lists().actionOO, [&](const TActionEntryOO& e) { return e.key == key; });
}
void RegisterHiddenExceptionHandler(TExceptHandler handler, TSyncMode sync) {
    Upsert(
        Lists().hidden, [&](const TExceptEntry& e) { return e.proc == handler; },
        TExceptEntry{sync, 0, handler});
}
void RegisterHiddenExceptionHandler(const void* key, TExceptHandlerOO handler, TSyncMode sync) {
    Upsert(
        Lists().hiddenOO, [&](const TExceptEntryOO& e) { return e.key == key; },
        TExceptEntryOO{sync, 0, key, std::move(handler)});
}
void UnregisterHiddenExceptionHandler(TExceptHandler handler) {
    Remove(Lists().hidden, [&](const TExceptEntry& e) { return e.proc == handler; });
}
void UnregisterHiddenExceptionHandler(const void* key) {
    Remove(Lists().hiddenOO, [&](const TExceptEntryOO& e) { return e.key == key; });
}

void ClearAllHandlers() {
    std::lock_guard guard(HandlerLock());
    Lists() = TLists{};
}

bool HandlersExist(THandlerEvent event, int phase) {
    std::lock_guard guard(HandlerLock());
    const TLists& l = Lists();
    auto inPhase = [&](const auto& e) { return phase < 0 || e.phase == phase; };
    switch (event) {
    case kEventException:
        return std::any_of(l.except.begin(), l.except.end(), inPhase) ||
               std::any_of(l.exceptOO.begin(), l.exceptOO.end(), inPhase);
    case kEventAction:
        return !l.action.empty() || !l.actionOO.empty();
    case kEventHidden:
        return !l.hidden.empty() || !l.hiddenOO.empty();
    }
    return false;
}

bool SyncHandlersExist(THandlerEvent event, int phase) {
    std::lock_guard guard(HandlerLock());
    const TLists& l = Lists();
    auto sync = [&](const auto& e) {
        if constexpr (requires { e.phase; })
            if (event == kEventException && e.phase != phase) return false;
        return e.sync != kSyncNone;
    };
    switch (event) {
    case kEventException:
        return std::any_of(l.except.begin(), l.except.end(), sync) ||
               std::any_of(l.exceptOO.begin(), l.exceptOO.end(), sync);
    case kEventAction:
        return std::any_of(l.action.begin(), l.action.end(), sync) ||
               std::any_of(l.actionOO.begin(), l.actionOO.end(), sync);
    case kEventHidden:
        return std::any_of(l.hidden.begin(), l.hidden.end(), sync) ||
               std::any_of(l.hiddenOO.begin(), l.hiddenOO.end(), sync);
    }
    return false;
}

bool RunHandlerLists(TFireHandlersParams& p) {
    if (!p.exception) return false;
    IQXException& e = *p.exception;
    // Copies, so no lock is held while a handler runs.
    TLists copy;
    {
        std::lock_guard guard(HandlerLock());
        copy = Lists();
    }
    const int phase = e.HandlingPhase();
    const bool callAll = phase > 2;
    bool called = false;
    switch (p.eventType) {
    case kEventException:
    case kEventHidden: {
        const bool hidden = p.eventType == kEventHidden;
        const auto& methods = hidden ? copy.hiddenOO : copy.exceptOO;
        const auto& procs = hidden ? copy.hidden : copy.except;
        const int wanted = hidden ? -1 : phase;
        called = Walk(methods, p, callAll, wanted,
                      [&](const TExceptEntryOO& x) { x.method(e, p.handled); });
        if (!p.handled || (hidden && methods.empty()))
            called |= Walk(procs, p, callAll, wanted,
                           [&](const TExceptEntry& x) { x.proc(e, p.handled); });
        if (callAll) p.handled = false;
        break;
    }
    case kEventAction:
        called = Walk(copy.actionOO, p, callAll, -1,
                      [&](const TActionEntryOO& x) { x.method(p.action, e, p.handled); });
        if (!p.handled)
            called |= Walk(copy.action, p, callAll, -1,
                           [&](const TActionEntry& x) { x.proc(p.action, e, p.handled); });
        break;
    }
    return called;
}

} // namespace qix
