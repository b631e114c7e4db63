#pragma once
// Thread base class. Threads are made through Start<T>(...) so that the body
// never runs before the derived object is complete.
#include <windows.h>

#include <string>
#include <utility>

namespace fw {

class TThread {
public:
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    template <typename T, typename... Args> static T* Start(Args&&... args) {
        T* thread = new T(std::forward<Args>(args)...);
        thread->Resume();
        return thread;
    }

    bool FreeOnTerminate = false;
    DWORD ThreadID() const { return id_; }
    // Waits for the body to end; not for self-freeing threads.
    void WaitFor();
    // The message of an error that escaped the body, if any.
    const std::string& FatalMessage() const { return fatal_; }

protected:
    TThread();
    virtual void Execute() = 0;

private:
    static unsigned __stdcall ThreadProc(void* self);
    void Resume();
    HANDLE handle_ = nullptr;
    DWORD id_ = 0;
    std::string fatal_;
};

} // namespace fw
