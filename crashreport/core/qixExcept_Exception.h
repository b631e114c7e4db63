// The exception object of one report (IQXException / TIQXException): what happened,
// where and in which thread, the per-exception settings, the results of the class
// filters, the handling phase and the report (TQXReport) with its listeners.
#pragma once

#include "crashreport/analysis/qixDisAsm.h"
#include "crashreport/core/qixExcept_Report.h"
#include "crashreport/core/qixExcept_Sections.h"
#include "crashreport/core/qixExcept_Settings.h"
#include "crashreport/support/qixNVBitmap.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

namespace qix {

// A thrown C++ object as the interception points hand it over; lives on the faulting
// thread's stack while that thread waits.
struct TRaisedObject {
    const std::type_info* type = nullptr;
    const void* object = nullptr;
};

// Report sources (interception points).
enum TReportSource : uint8_t {
    kSourceNone = 0,
    kSourceFreeze = 1,
    kSourceShowException = 4,
    kSourceHandleException = 5,
    kSourceLastChance = 13,
    kSourceHidden = 15,
    kSourceThreadProc = 16,
    kSourceThreadExecute = 17,
};

// Everything the exception object is created from.
struct TExceptionData {
    TReportKind kind = TReportKind::Exception;
    TRaisedObjectInfo object; // class chain and message, validated
    TRaisedObject raised;     // the object itself, or none
    TAddress faultAddress = 0;
    bool canContinue = true;
    uint32_t faultThreadId = 0;
    TAddress stackPointer = 0, framePointer = 0;
    std::vector<uint8_t> context; // copy of the processor context, or empty
    uint8_t source = kSourceNone;
    const void* relatedObject = nullptr;
    TModuleHandle package = 0;
    const void* preparedStack = nullptr;
};

// 0: general filter (Gn...), 1 and 2: F1Classes / F2Classes matched the object's class or
// one of its ancestors (comma-separated names, compared ignoring case).
int SelectClassFilter(const std::vector<std::string>& classChain, std::string_view f1Classes,
                      std::string_view f2Classes);

class IQXException : public TIQXSettings {
public:
    using TIQXSettings::TIQXSettings;

    virtual int HandlingPhase() const = 0;
    virtual bool Continuable() const = 0;
    virtual void SetContinuable(bool value) = 0;
    virtual TReportKind ReportKind() const = 0;
    virtual const TRaisedObject& RaisedObject() const = 0;
    virtual std::string ObjectClassName() const = 0;
    virtual std::string ObjectMessage() const = 0;
    virtual TAddress FaultAddress() const = 0;
    virtual uint32_t FaultThreadId() const = 0;
    virtual uint32_t StackChecksum(int index) const = 0;
    virtual const void* ProcessorContext() const = 0;
    virtual uint8_t ReportSource() const = 0;
    virtual const void* RelatedObject() const = 0;
    virtual TModuleHandle PackageHandle() const = 0;
    virtual std::shared_ptr<IQXFields> HeaderFields() = 0;
    virtual std::shared_ptr<IQXFields> SectionFields() = 0;
    virtual std::string CompleteReport() = 0;
    virtual void SetReportText(std::string text) = 0;
    virtual std::string ReportText(bool mustBeComplete) = 0;
    // Taken on the first request (the screen, or the program's windows only as the
    // settings say) and kept; null when it cannot be taken.
    virtual PNVBitmap Screenshot() { return nullptr; }
    virtual void SetScreenshot(PNVBitmap) {}
    virtual void BeginChange() = 0;
    virtual void EndChange() = 0;
    virtual void AddReportListener(TReportCallback callback, bool critical) = 0;
    virtual void AddReportListener(const void* key, TReportMethod method, bool critical) = 0;
    virtual void RemoveReportListener(TReportCallback callback) = 0;
    virtual void RemoveReportListener(const void* key) = 0;
    virtual bool ReportWanted() const = 0;
    virtual void SetReportWanted(bool value) = 0;
    virtual bool ScreenshotWanted() const = 0;
    virtual void SetScreenshotWanted(bool value) = 0;
    virtual bool HandlersWanted() const = 0;
    virtual void SetHandlersWanted(bool value) = 0;
    virtual bool ScreenshotAppended() const = 0;
    virtual void SetScreenshotAppended(bool value) = 0;
    virtual uint8_t ShowMode() const = 0;
    virtual void SetShowMode(uint8_t value) = 0;
    virtual std::string AssistantName() const = 0;
    virtual void SetAssistantName(std::string_view value) = 0;
    // Shows the exception box; true when one was shown.
    virtual bool ShowDialog() = 0;
};

// The library-internal side of the exception object.
class IQXExceptionEx {
public:
    virtual ~IQXExceptionEx() = default;
    virtual bool HasCriticalListener() const = 0;
    virtual uint32_t CompletionThreadId() const = 0;
    virtual void SetHandlingPhase(int phase) = 0;
    virtual bool ReportSent() const = 0;
    virtual void SetReportSent(bool value) = 0;
    virtual bool ReportSaved() const = 0;
    virtual void SetReportSaved(bool value) = 0;
    // The first caller gets true.
    virtual bool ClaimCompleteNotice() = 0;
    virtual bool ClaimAutoSave() = 0;
    // Where the handle of a background send is kept (a Windows HANDLE); the exception
    // waits for that send and closes the handle before it goes. Null: none is kept.
    virtual void** SendThreadField() { return nullptr; }
    // The sections stopped being computed (the object goes, or the process exits).
    virtual bool CompletionAborted() const { return false; }
};

// The stack tracer's Windows adapter plugs in here. Without one a thread's trace is the
// line of its current address.
class IThreadTracer {
public:
    virtual ~IThreadTracer() = default;
    // The quick candidate list, taken while the thread is still where it was.
    virtual void PrepareStack(const TThreadStackRecord& thread, IQXException& exception) = 0;
    virtual TThreadTrace TraceThread(const TThreadStackRecord& thread, IQXException& exception) = 0;
};
void SetThreadTracer(std::shared_ptr<IThreadTracer> tracer);
std::shared_ptr<IThreadTracer> ThreadTracer();

// Created on the handling thread by the pipeline (Windows side).
std::shared_ptr<IQXException> CreateException(std::shared_ptr<IQXSettings> settings,
                                              TExceptionData data);
IQXExceptionEx& ExceptionEx(IQXException& exception);

// For the process's exit: every report still computing its sections stops, and the
// call waits up to `timeoutMs` for their completion threads to end; reports created
// afterwards keep their placeholders. The runtime tears down what those threads use.
void AbortReportCompletions(uint32_t timeoutMs);

} // namespace qix
