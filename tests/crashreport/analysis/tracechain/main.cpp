// Runs the chain and prints the tracer's view of it, for check_chain.py to compare with
// addr2line: "fault" traces the faulting thread from the exception's context, "middle"
// faults one level higher, "thread" traces a waiting worker from its stopped context, "throw"
// traces from the terminate handler after an uncaught C++ exception.
#include "chain.h"
#include "crashreport/analysis/qixStackTraceWin.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <exception>

namespace {

void Print(const char* title, const qix::TStackTraceResult& result) {
    std::printf("TRACE %s\n", title);
    for (const qix::TStackTraceItem& item : result.Items)
        std::printf("ITEM %08x|%s|%s|%d|%s\n", unsigned(item.Address), item.ModuleName.c_str(),
                    item.UnitName.c_str(), int(item.Line), item.ProcName.c_str());
    std::printf("SUMS %08x %08x\nTEXT\n%s\nEND\n", unsigned(result.Checksums[0]),
                unsigned(result.Checksums[1]), result.Text.c_str());
    std::fflush(stdout);
}

LONG WINAPI OnFault(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION)
        return EXCEPTION_CONTINUE_SEARCH;
    std::printf("FAULT %08x\n", unsigned(info->ContextRecord->Eip));
    qix::TStackTraceRequest request;
    request.IsException = true;
    Print("fault", qix::TraceContext(info->ContextRecord, GetCurrentThread(), request));
    ExitProcess(0);
}

void OnTerminate() {
    qix::TStackTraceRequest request;
    request.CxxTermination = true;
    Print("throw", qix::TraceCurrentThread(request));
    ExitProcess(0);
}

int TraceWaitingThread() {
    chain::Arrived = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    chain::Release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, chain::Worker, nullptr, 0, nullptr);
    if (!thread || WaitForSingleObject(chain::Arrived, 30000) != WAIT_OBJECT_0) return 2;
    Sleep(100); // let it enter the wait
    SuspendThread(thread);
    CONTEXT context{};
    context.ContextFlags = CONTEXT_FULL;
    if (!GetThreadContext(thread, &context)) return 3;
    qix::TStackTraceRequest request;
    request.CreationAddress = qix::AddressOf(reinterpret_cast<const void*>(&chain::Worker));
    std::printf("CREATION %08x\n", unsigned(request.CreationAddress));
    Print("thread", qix::TraceContext(&context, thread, request));
    ResumeThread(thread);
    SetEvent(chain::Release);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(chain::Arrived);
    CloseHandle(chain::Release);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "";
    if (std::strcmp(mode, "thread") == 0) return TraceWaitingThread();
    if (std::strcmp(mode, "throw") == 0) {
        std::set_terminate(OnTerminate);
        return chain::RunChain(chain::ThrowAtBottom) == 12345 ? 1 : 4;
    }
    AddVectoredExceptionHandler(1, OnFault);
    const chain::TMode m =
        std::strcmp(mode, "middle") == 0 ? chain::FaultInMiddle : chain::FaultAtBottom;
    return chain::RunChain(m) == 12345 ? 1 : 4; // never returns: the fault ends the process
}
