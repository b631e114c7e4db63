#include "framework/Thread.h"

#include "framework/Exceptions.h"

#include <process.h>

namespace fw {

TThread::TThread() {
    unsigned id = 0;
    handle_ = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, &TThread::ThreadProc, this, CREATE_SUSPENDED, &id));
    if (!handle_) throw Exception("Thread creation error");
    id_ = id;
}

TThread::~TThread() {
    if (handle_) CloseHandle(handle_);
}

void TThread::Resume() {
    ResumeThread(handle_);
}

void TThread::WaitFor() {
    WaitForSingleObject(handle_, INFINITE);
}

unsigned __stdcall TThread::ThreadProc(void* self) {
    auto* thread = static_cast<TThread*>(self);
    try {
        thread->Execute();
    } catch (const std::exception& e) {
        // An error must never unwind out of a thread; keep its message like any runtime.
        thread->fatal_ = e.what();
    } catch (...) {
        thread->fatal_ = "Unknown error";
    }
    if (thread->FreeOnTerminate) delete thread;
    return 0;
}

} // namespace fw
