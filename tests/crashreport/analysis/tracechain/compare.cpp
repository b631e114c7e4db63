// Our trace and dbghelp's StackWalk of the same stopped thread, for
// bench/stackwalk_compare.py: prints the frame addresses of both.
#include "chain.h"
#include "crashreport/analysis/qixStackTraceWin.h"

#include <windows.h>

#include <dbghelp.h>

#include <cstdio>

int main() {
    chain::Arrived = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    chain::Release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, chain::Worker, nullptr, 0, nullptr);
    if (!thread || WaitForSingleObject(chain::Arrived, 30000) != WAIT_OBJECT_0) return 2;
    Sleep(100);
    SuspendThread(thread);
    CONTEXT context{};
    context.ContextFlags = CONTEXT_FULL;
    if (!GetThreadContext(thread, &context)) return 3;

    qix::TStackTraceRequest request;
    request.CreationAddress = qix::AddressOf(reinterpret_cast<const void*>(&chain::Worker));
    for (const qix::TStackTraceItem& item : qix::TraceContext(&context, thread, request).Items)
        std::printf("OURS %08x\n", unsigned(item.Address));

    HANDLE process = GetCurrentProcess();
    SymInitialize(process, nullptr, TRUE);
    STACKFRAME frame{};
    frame.AddrPC.Offset = context.Eip;
    frame.AddrStack.Offset = context.Esp;
    frame.AddrFrame.Offset = context.Ebp;
    frame.AddrPC.Mode = frame.AddrStack.Mode = frame.AddrFrame.Mode = AddrModeFlat;
    CONTEXT walking = context;
    for (int n = 0; n < 64 && StackWalk(IMAGE_FILE_MACHINE_I386, process, thread, &frame, &walking,
                                        nullptr, SymFunctionTableAccess, SymGetModuleBase, nullptr);
         ++n) {
        if (frame.AddrPC.Offset == 0) break;
        // Return addresses of outer frames point after the call: step back into it.
        std::printf("DBGHELP %08x\n", unsigned(frame.AddrPC.Offset - (n ? 1 : 0)));
    }
    SymCleanup(process);
    std::fflush(stdout);
    ResumeThread(thread);
    SetEvent(chain::Release);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return 0;
}
