// Cooperative pausing of the application's threads: message hooks call PausePoint
// before a message is handed out, and a paused thread waits there on its event.
#include "crashreport/core/qixExcept_Pipeline.h"
#include "crashreport/core/qixExcept_ThreadList.h"
#include "crashreport/core/qixExcept_ThreadRegistry.h"

#include <windows.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>

namespace qix {
namespace {

struct TPauseState {
    std::mutex lock;
    std::set<DWORD> pauseSet;
    HANDLE mainEvent = nullptr, otherEvent = nullptr;
    std::map<DWORD, HHOOK> hooks;
    bool paused = false;
};

TPauseState& P() {
    static TPauseState& state = *new TPauseState; // outlives finalisation
    return state;
}

LRESULT CALLBACK GetMessageHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code >= 0) PausePoint();
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

void HookThread(TPauseState& p, DWORD threadId) {
    if (p.hooks.count(threadId)) return;
    if (HHOOK hook = SetWindowsHookExA(WH_GETMESSAGE, GetMessageHook, nullptr, threadId))
        p.hooks[threadId] = hook;
}

// Whether the thread's creator lies in a module that carries the library's debug data.
bool CreatedInOurModules(DWORD threadId) {
    TThreadRegistryEntry entry;
    bool available = false;
    if (!LookupThreadEntry(threadId, entry, available) || !entry.creatorAddress) return false;
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(entry.creatorAddress)), &module))
        return false;
    return FindResourceA(module, "EXCEPT", "QIX") != nullptr;
}

} // namespace

void PauseApplicationThreads(uint32_t completionThreadId) {
    TPauseState& p = P();
    std::lock_guard guard(p.lock);
    p.pauseSet.clear();
    for (HANDLE* event : {&p.mainEvent, &p.otherEvent}) {
        if (*event)
            ResetEvent(*event);
        else
            *event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    for (const uint32_t id : ProcessThreadIds()) {
        if (id == GetCurrentThreadId() || id == MainThreadId() || id == completionThreadId ||
            id == HandlingThreadId() || id == WatchdogThreadId())
            continue;
        if (CreatedInOurModules(id)) {
            p.pauseSet.insert(id);
            HookThread(p, id);
        }
    }
    HookThread(p, MainThreadId());
    p.paused = true;
    PostThreadMessageA(MainThreadId(), WM_NULL, 1, 0);
}

void ResumeApplicationThreads() {
    TPauseState& p = P();
    std::lock_guard guard(p.lock);
    if (p.mainEvent) SetEvent(p.mainEvent);
    if (p.otherEvent) SetEvent(p.otherEvent);
    p.paused = false;
    if (MainThreadId()) PostThreadMessageA(MainThreadId(), WM_NULL, 1, 0);
}

bool UnpauseMainThread() {
    TPauseState& p = P();
    std::lock_guard guard(p.lock);
    if (!p.paused || !p.mainEvent || WaitForSingleObject(p.mainEvent, 0) == WAIT_OBJECT_0)
        return false;
    SetEvent(p.mainEvent);
    return true;
}

void RepauseMainThread() {
    TPauseState& p = P();
    std::lock_guard guard(p.lock);
    if (!p.paused || !p.mainEvent) return;
    ResetEvent(p.mainEvent);
    PostThreadMessageA(MainThreadId(), WM_NULL, 1, 0);
}

void RemovePauseHooks() {
    TPauseState& p = P();
    std::lock_guard guard(p.lock);
    for (const auto& [id, hook] : p.hooks)
        UnhookWindowsHookEx(hook);
    p.hooks.clear();
}

bool ThreadsPaused() {
    std::lock_guard guard(P().lock);
    return P().paused;
}

void PausePoint() {
    const DWORD lastError = GetLastError();
    TPauseState& p = P();
    HANDLE wait = nullptr;
    {
        std::lock_guard guard(p.lock);
        const DWORD self = GetCurrentThreadId();
        if (self == MainThreadId())
            wait = p.mainEvent;
        else if (p.pauseSet.count(self))
            wait = p.otherEvent;
    }
    if (wait) WaitForSingleObject(wait, INFINITE);
    SetLastError(lastError);
}

} // namespace qix
