// The hooks inside a program whose library is active: code patches checked byte by byte
// against hand-assembled jumps and calls, import redirection seen through ordinary
// calls, and the interception points seen by handlers that keep the program alive.
#include "crashreport/core/qixExcept_Hooks.h"
#include "crashreport/core/qixExcept_Pipeline.h"
#include "crashreport/core/qixExcept_ThreadRegistry.h"
#include "framework/Exceptions.h"
#include "framework/Forms.h"
#include "framework/Thread.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <process.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>

using namespace qix;

namespace {

__attribute__((noinline)) int Original() {
    asm volatile("" ::: "memory");
    return 1;
}
__attribute__((noinline)) int Replacement() {
    asm volatile("" ::: "memory");
    return 2;
}
__attribute__((noinline)) int Third() {
    asm volatile("" ::: "memory");
    return 3;
}

// Through a volatile copy, so the compiler cannot call the function directly.
int Call(int (*f)()) {
    int (*volatile through)() = f;
    return through();
}

std::string Bytes(const void* p, size_t n) {
    return std::string(static_cast<const char*>(p), n);
}

// E9/E8 followed by the little-endian displacement from the end of the instruction.
std::string Relative(uint8_t opcode, const void* at, const void* to) {
    const auto d = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(to) -
                                         reinterpret_cast<uintptr_t>(at) - 5);
    const char bytes[5] = {static_cast<char>(opcode), static_cast<char>(d & 0xff),
                           static_cast<char>(d >> 8 & 0xff), static_cast<char>(d >> 16 & 0xff),
                           static_cast<char>(d >> 24)};
    return std::string(bytes, 5);
}

void* Entry(int (*f)()) {
    return reinterpret_cast<void*>(f);
}

struct TExecutableBuffer {
    uint8_t* code = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE));
    ~TExecutableBuffer() { VirtualFree(code, 0, MEM_RELEASE); }
};

// What the handlers saw; they mark everything handled so the program goes on.
struct TSeen {
    std::atomic<int> calls{0};
    std::atomic<int> source{-1};
    std::atomic<int> kind{-1};
    std::atomic<const void*> related{nullptr};
    std::atomic<uint32_t> thread{0};
};
TSeen g_seen;

void Note(IQXException& e, bool& handled) {
    ++g_seen.calls;
    g_seen.source = e.ReportSource();
    g_seen.kind = static_cast<int>(e.ReportKind());
    g_seen.related = e.RelatedObject();
    g_seen.thread = e.FaultThreadId();
    handled = true;
}

struct TSeenScope {
    TSeenScope() {
        g_seen.calls = 0;
        g_seen.source = -1;
        RegisterExceptionHandler(Note, kSyncNone, 1);
        RegisterHiddenExceptionHandler(Note, kSyncNone);
    }
    ~TSeenScope() { ClearAllHandlers(); }
};

// ---- the interception points (run first: the patch tests undo the whole list) ----

TEST(Hooks, LibraryIsActiveWithItsHooks) {
    ASSERT_EQ(LibraryState(), TLibraryState::Active) << "the test carries an active resource";
    EXPECT_TRUE(HooksInstalled());
}

DWORD WINAPI LookAtMyself(LPVOID out) {
    TThreadRegistryEntry entry;
    bool available = false;
    if (LookupThreadEntry(GetCurrentThreadId(), entry, available))
        *static_cast<TThreadRegistryEntry*>(out) = entry;
    return 7;
}

__attribute__((noinline)) HANDLE StartLooker(TThreadRegistryEntry* out, DWORD* id) {
    return CreateThread(nullptr, 0, LookAtMyself, out, 0, id);
}

TEST(Hooks, CreatedThreadIsRegisteredWithItsCreatorUntilItEnds) {
    TThreadRegistryEntry entry;
    DWORD id = 0;
    HANDLE thread = StartLooker(&entry, &id);
    ASSERT_TRUE(thread);
    ASSERT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    EXPECT_EQ(code, 7u) << "the thread's own result passes through the wrapper";
    EXPECT_EQ(entry.creatorThreadId, GetCurrentThreadId());
    const auto start = reinterpret_cast<uintptr_t>(&StartLooker);
    EXPECT_GT(entry.creatorAddress, start) << "creator: the call inside StartLooker";
    EXPECT_LT(entry.creatorAddress, start + 64);
    TThreadRegistryEntry after;
    bool available = false;
    EXPECT_FALSE(LookupThreadEntry(id, after, available)) << "the entry goes with the thread";
}

DWORD WINAPI Throws(LPVOID) {
    throw std::runtime_error("escaped the thread");
}

TEST(Hooks, ExceptionEscapingAThreadIsReportedAndItsResultIsMinusOne) {
    TSeenScope scope;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, Throws, nullptr, 0, &id);
    ASSERT_TRUE(thread);
    ASSERT_EQ(WaitForSingleObject(thread, 60000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    EXPECT_EQ(code, 0xFFFFFFFFu);
    EXPECT_EQ(g_seen.calls.load(), 1);
    EXPECT_EQ(g_seen.source.load(), 16);
    EXPECT_EQ(g_seen.thread.load(), id);
}

class TFailingThread : public fw::TThread {
public:
    std::string className;

protected:
    void Execute() override {
        TThreadRegistryEntry entry;
        bool available = false;
        if (LookupThreadEntry(GetCurrentThreadId(), entry, available)) className = entry.className;
        throw std::runtime_error("execute failed");
    }
};

TEST(Hooks, ThreadObjectRunsThroughHookedExecuteWithItsClassName) {
    TSeenScope scope;
    auto* thread = fw::TThread::Start<TFailingThread>();
    thread->WaitFor();
    EXPECT_EQ(thread->className, "(anonymous namespace)::TFailingThread");
    EXPECT_EQ(thread->FatalMessage(), "") << "the library, not the class, saw the exception";
    EXPECT_EQ(g_seen.calls.load(), 1);
    EXPECT_EQ(g_seen.source.load(), 17);
    EXPECT_EQ(g_seen.related.load(), static_cast<const void*>(thread));
    delete thread;
}

// A parameter whose words point into the program like an object's would.
const void* g_fakeTable[2] = {&g_fakeTable[0], &g_fakeTable[0]};
const void* g_fakeObject = &g_fakeTable[1];

unsigned __stdcall ReturnsFive(void*) {
    return 5;
}

TEST(Hooks, ParameterThatOnlyLooksLikeAnObjectIsNoThreadObject) {
    for (void* parameter : {static_cast<void*>(nullptr), reinterpret_cast<void*>(1),
                            const_cast<void*>(static_cast<const void*>(&g_fakeObject))}) {
        unsigned id = 0;
        HANDLE thread =
            reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ReturnsFive, parameter, 0, &id));
        ASSERT_TRUE(thread);
        ASSERT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
        DWORD code = 0;
        GetExitCodeThread(thread, &code);
        CloseHandle(thread);
        EXPECT_EQ(code, 5u);
    }
}

TEST(Hooks, HiddenExceptionGoesToTheHiddenHandlersOnly) {
    TSeenScope scope;
    try {
        throw std::logic_error("dealt with");
    } catch (const std::exception&) {
        CheckHiddenException();
    }
    EXPECT_EQ(g_seen.calls.load(), 1);
    EXPECT_EQ(g_seen.source.load(), 15);
    EXPECT_EQ(g_seen.kind.load(), static_cast<int>(TReportKind::Hidden));
}

TEST(Hooks, WithoutHiddenHandlersNothingIsReported) {
    g_seen.calls = 0;
    RegisterExceptionHandler(Note, kSyncNone, 1);
    try {
        throw std::logic_error("dealt with");
    } catch (const std::exception&) {
        CheckHiddenException();
    }
    ClearAllHandlers();
    EXPECT_EQ(g_seen.calls.load(), 0);
}

TEST(Hooks, ApplicationHandleExceptionReportsWithTheApplicationAsRelatedObject) {
    void (fw::TApplication::*method)(const std::exception&) = &fw::TApplication::HandleException;
    void* entry = nullptr;
    std::memcpy(&entry, &method, sizeof entry);
    ASSERT_EQ(*static_cast<const uint8_t*>(entry), 0xE9)
        << "HandleException is not patched; it would show a message box";
    TSeenScope scope;
    fw::TApplication application;
    try {
        throw fw::Exception("from a window procedure");
    } catch (const std::exception& e) {
        application.HandleException(e);
    }
    EXPECT_EQ(g_seen.calls.load(), 1);
    EXPECT_EQ(g_seen.source.load(), 5);
    EXPECT_EQ(g_seen.related.load(), &application);
}

TEST(Hooks, ThrowSiteIsKept) {
    uintptr_t before = 0, after = 0;
    try {
        before = reinterpret_cast<uintptr_t>(&&here);
    here:
        throw std::runtime_error("where");
    } catch (...) {
        after = LastThrowAddress();
    }
    EXPECT_GT(after, before);
    EXPECT_LT(after, before + 256);
}

__attribute__((noinline)) void ThrowDeep() {
    asm volatile("" ::: "memory");
    throw std::runtime_error("deep");
}
__attribute__((noinline)) void CallsThrowDeep() {
    ThrowDeep();
    asm volatile("" ::: "memory");
}

TEST(Hooks, ThrowKeepsAPreparedStackWithTheThrowSiteAndItsCallers) {
    try {
        CallsThrowDeep();
    } catch (const std::exception& e) {
        const auto* stack = PreparedStackFor(&e);
        ASSERT_NE(stack, nullptr);
        ASSERT_FALSE(stack->empty());
        EXPECT_EQ(stack->front().flag, 1);
        EXPECT_EQ(stack->front().address, LastThrowAddress());
        const auto outer = reinterpret_cast<uintptr_t>(&CallsThrowDeep);
        bool callerSeen = false;
        for (const TThrowStackEntry& entry : *stack)
            callerSeen |= entry.flag == 0 && entry.address > outer && entry.address < outer + 32;
        EXPECT_TRUE(callerSeen) << "the return address into CallsThrowDeep";
        int other = 0;
        EXPECT_EQ(PreparedStackFor(&other), nullptr) << "only the last thrown object has one";
    }
}

// Threads of the library run while the hooks go in and out: a message poll that reads a
// hooked slot must always reach the system's function.
DWORD WINAPI PollMessages(LPVOID stop) {
    MSG msg;
    while (!static_cast<std::atomic<bool>*>(stop)->load())
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    return 0;
}

TEST(Hooks, MessagePollsWhileHooksAreInstalledAndRemovedKeepWorking) {
    std::atomic<bool> stop{false};
    HANDLE pollers[2] = {CreateThread(nullptr, 0, PollMessages, &stop, 0, nullptr),
                         CreateThread(nullptr, 0, PollMessages, &stop, 0, nullptr)};
    for (int i = 0; i < 300; ++i) {
        RemoveHooks();
        InstallHooks();
    }
    stop = true;
    EXPECT_EQ(WaitForMultipleObjects(2, pollers, TRUE, 10000), WAIT_OBJECT_0);
    for (HANDLE poller : pollers)
        CloseHandle(poller);
    EXPECT_TRUE(HooksInstalled());
}

// ---- import tables ----

DWORD WINAPI FakeTickCount() {
    return 12345;
}

// Out of line: the import slot is read afresh on every call.
__attribute__((noinline)) DWORD TickThroughImport() {
    asm volatile("" ::: "memory");
    return GetTickCount();
}

TEST(ImportTables, RedirectedEntryIsCalledAndRestoreBringsTheOriginalBack) {
    void* previous = nullptr;
    const int changed = PatchImportEntries("kernel32.dll", "GetTickCount", nullptr,
                                           reinterpret_cast<void*>(&FakeTickCount), &previous);
    EXPECT_GE(changed, 1);
    EXPECT_EQ(previous, reinterpret_cast<void*>(
                            GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount")));
    EXPECT_EQ(TickThroughImport(), 12345u);
    EXPECT_EQ(RestoreImportEntries(nullptr, previous, reinterpret_cast<void*>(&FakeTickCount)),
              changed);
    EXPECT_NE(TickThroughImport(), 12345u);
}

TEST(ImportTables, UnknownFunctionChangesNothing) {
    void* previous = nullptr;
    EXPECT_EQ(PatchImportEntries("kernel32.dll", "NoSuchFunctionAnywhere", nullptr,
                                 reinterpret_cast<void*>(&FakeTickCount), &previous),
              0);
    EXPECT_EQ(PatchImportEntries("nosuch.dll", "GetTickCount", nullptr,
                                 reinterpret_cast<void*>(&FakeTickCount), &previous),
              0);
}

// ---- code patches ----

TEST(CodePatches, JumpIsHandAssembledAndUndoRestoresTheOriginalBytes) {
    const std::string before = Bytes(Entry(Original), 5);
    ASSERT_TRUE(PatchJump(Entry(Original), Entry(Replacement)));
    EXPECT_EQ(Bytes(Entry(Original), 5), Relative(0xE9, Entry(Original), Entry(Replacement)));
    EXPECT_EQ(Call(Original), 2);
    EXPECT_FALSE(PatchJump(Entry(Original), Entry(Third))) << "already a jump: left alone";
    EXPECT_EQ(Call(Original), 2);
    UndoPatches();
    EXPECT_EQ(Bytes(Entry(Original), 5), before);
    EXPECT_EQ(Call(Original), 1);
    EXPECT_TRUE(PatchList().empty());
}

TEST(CodePatches, UndoLeavesALaterForeignPatchInPlace) {
    const std::string before = Bytes(Entry(Original), 5);
    ASSERT_TRUE(PatchJump(Entry(Original), Entry(Replacement)));
    // Someone else patches the same entry afterwards, without the list.
    const std::string foreign = Relative(0xE9, Entry(Original), Entry(Third));
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(Entry(Original), 5, PAGE_EXECUTE_READWRITE, &old));
    std::memcpy(Entry(Original), foreign.data(), 5);
    VirtualProtect(Entry(Original), 5, old, &old);
    UndoPatches();
    EXPECT_EQ(Bytes(Entry(Original), 5), foreign);
    EXPECT_EQ(Call(Original), 3);
    VirtualProtect(Entry(Original), 5, PAGE_EXECUTE_READWRITE, &old);
    std::memcpy(Entry(Original), before.data(), 5);
    VirtualProtect(Entry(Original), 5, old, &old);
}

TEST(CodePatches, IndirectJumpIsFollowedToItsTarget) {
    TExecutableBuffer buffer;
    ASSERT_TRUE(buffer.code);
    void* target = Entry(Replacement);
    void** slot = reinterpret_cast<void**>(buffer.code + 64);
    *slot = target;
    buffer.code[0] = 0xFF;
    buffer.code[1] = 0x25;
    std::memcpy(buffer.code + 2, &slot, 4);
    const std::string stub = Bytes(buffer.code, 6);
    ASSERT_TRUE(PatchJump(buffer.code, Entry(Third)));
    EXPECT_EQ(Bytes(buffer.code, 6), stub) << "the stub itself stays";
    EXPECT_EQ(Bytes(target, 5), Relative(0xE9, target, Entry(Third)));
    EXPECT_EQ(Call(Replacement), 3);
    UndoPatches();
    EXPECT_EQ(Call(Replacement), 2);
}

TEST(CodePatches, CallDisplacementAndValue) {
    TExecutableBuffer buffer;
    ASSERT_TRUE(buffer.code);
    const std::string call = Relative(0xE8, buffer.code, Entry(Original));
    std::memcpy(buffer.code, call.data(), 5);
    buffer.code[5] = 0xC3; // ret
    auto* stub = reinterpret_cast<int (*)()>(buffer.code);
    EXPECT_EQ(Call(stub), 1);
    EXPECT_FALSE(PatchCallDisplacement(buffer.code + 1, Entry(Replacement))) << "not a call";
    ASSERT_TRUE(PatchCallDisplacement(buffer.code, Entry(Replacement)));
    EXPECT_EQ(Bytes(buffer.code, 5), Relative(0xE8, buffer.code, Entry(Replacement)));
    EXPECT_EQ(Call(stub), 2);
    uint32_t value = 0x11223344;
    ASSERT_TRUE(PatchValue(&value, 0xA1B2C3D4));
    EXPECT_EQ(value, 0xA1B2C3D4u);
    ASSERT_EQ(PatchList().size(), 2u);
    UndoPatches();
    EXPECT_EQ(value, 0x11223344u);
    EXPECT_EQ(Call(stub), 1);
}

} // namespace
