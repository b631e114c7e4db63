// The pipeline of the crash reporter: start-up and shutdown, the one entry
// ReportException that every interception point calls, the handling thread, handler
// dispatch, cooperative pausing, the freeze watchdog, the exception times and the
// automatic actions. Windows only; the header itself stays free of <windows.h>.
#pragma once

#include "crashreport/core/qixExcept_Exception.h"
#include "crashreport/core/qixExcept_Handlers.h"
#include "crashreport/core/qixExcept_LoaderLock.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace qix {

enum class TLibraryState { Inactive, Disabled, Active, Finalized };

// Runs once, before the application's own code (the unit object calls it).
void InitializeLibrary();
// Undoes the start-up; runs once.
void FinalizeLibrary();
// The start of the process's exit, before the runtime's clean-up: running reports stop
// computing and the handling thread finishes (each wait bounded).
void StopReportsForExit();

TLibraryState LibraryState();
uint32_t MainThreadId();
uint32_t HandlingThreadId();
uint32_t WatchdogThreadId();
// The settings found for the library's own module; null while inactive.
std::shared_ptr<IQXModuleSettings> ProcessSettings();
// Performance-counter milliseconds at start-up.
int64_t ProgramStartMilliseconds();
int64_t CounterMilliseconds();

// The request the faulting thread writes into the handling thread's pipe.
struct TExceptionRequest {
    uintptr_t doneEvent; // 0: stop the handling thread
    uint32_t requestingThreadId;
    uint32_t reportKind;
    const TRaisedObject* raisedObject;
    TAddress faultAddress;
    uint32_t canContinue;
    TAddress stackPointer;
    TAddress framePointer;
    const void* context;
    std::string* reportOut;
    uint32_t source;
    const void* relatedObject;
    TModuleHandle package;
    const void* preparedStack;
};
static_assert(sizeof(void*) != 4 || sizeof(TExceptionRequest) == 56,
              "the pipe carries 56-byte requests");

// The one entry of every interception point; returns when handling is over.
// `raised` null: the C++ object currently being handled in this thread, if any.
// `context` points to the processor context (CONTEXT) of a fault, or is null.
void ReportException(TReportKind kind, const TRaisedObject* raised, TAddress faultAddress,
                     std::string* reportOut, TModuleHandle package, const void* relatedObject,
                     uint8_t source, const void* context, TAddress framePointer,
                     TAddress stackPointer, bool canContinue);

// The pipeline for one request; runs on the handling thread (or on the faulting
// thread when the process is blocked).
void RunExceptionPipeline(const TExceptionRequest& request);

// Fires the handlers of one event, on the main thread for those that ask for it.
void DispatchHandlers(uintptr_t ownerWindow, THandlerEvent eventType, uint8_t action, bool& handled,
                      IQXException& exception);

// Cooperative pausing through message hooks; no thread is suspended by the system.
void PauseApplicationThreads(uint32_t completionThreadId);
void ResumeApplicationThreads();
void PausePoint();
bool ThreadsPaused();
// For synchronous handlers while threads are paused; Unpause tells whether it did.
bool UnpauseMainThread();
void RepauseMainThread();
// Shutdown: the message hooks go.
void RemovePauseHooks();

// Freeze watchdog.
bool StartFreezeWatchdog(uint32_t timeoutMs);
void StopFreezeWatchdog();
void PauseFreezeCheck(bool pause);
void ClearFreezeMisses();
// The main thread's answer (message handler side).
void AnswerWatchdog(uintptr_t window);

// Exception times: seconds since 1601 (UTC), newest first, 0 = unset.
std::array<int64_t, 10> ExceptionTimes();
void SetExceptionTimes(const std::array<int64_t, 10>& times);
void NoteExceptionTime();
// AutoClose / AutoRestart rule: 1 always; N > 1 when all ten times are within N seconds.
bool AutoRuleMet(int32_t value);

// Emergency reserve: released at the start of every report, re-acquired at its end.
void AcquireEmergencyReserve();
void ReleaseEmergencyReserve();

// The library's temporary folder: system temp + executable name + ".qixExcept\".
std::string LibraryTempFolder();
void ClearLibraryTempFolder();

// Automatic actions (the parts of the exception box's logic the pipeline needs).
void AddAutoActionListener(IQXException& exception);
void ReportAutoActions(IQXException& exception, bool wait);
// Writes the report into `fileName` (empty: BugRepFile of the settings); a short write
// deletes the file again.
bool StoreBugReport(IQXException& exception, const std::string& fileName);
bool CopyTextToClipboard(const std::string& text);
[[noreturn]] void QuitApplication();
[[noreturn]] void RelaunchApplication();
// At start-up: takes over the exception times of the instance that restarted us.
void RunRestartCheck();
std::string RestartMappingName(uint32_t processId);

// Where the exception box plugs in; without one nothing is shown.
using TShowDialogHook = bool (*)(IQXException& exception);
void SetShowDialogHook(TShowDialogHook hook);
bool ShowExceptionDialog(IQXException& exception);
// The layers above put their own saving (duplicate folding, size limit) and sending in
// place of the plain writer here; unset members keep the plain behaviour (no send).
struct TAutoActionRoutines {
    bool (*save)(IQXException& exception) = nullptr; // silent, complete report
    // silent, in the background, with the complete report text
    void (*send)(IQXException& exception, const std::string& report) = nullptr;
};
void SetAutoActionRoutines(const TAutoActionRoutines& routines);
// Tells the watchdog about a box shown for a freeze: once the main thread answers
// again, the box gets the null message (777, 777) that closes it.
void NotifyWatchdogOfBox(uintptr_t window);
// Waits for a background send kept on the exception and closes its handle.
void WaitForBackgroundSend(IQXException& exception);

} // namespace qix

// Writes a report of the whole process into the named mapping "qixTraceProcessMap"
// (size > 0, cut to size - 1 characters plus zero) or to the clipboard (size < 1).
extern "C" __declspec(dllexport) int32_t __stdcall qixTraceProcess(int32_t bufferSize);
