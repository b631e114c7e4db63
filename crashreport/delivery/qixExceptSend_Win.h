// Sending a finished bug report: attachments into the temp folder, one network channel,
// then simple MAPI and the mailto command, with the progress window throughout.
#pragma once

#include "crashreport/core/qixExcept_Settings.h"
#include "crashreport/delivery/qixExceptSend_Network.h"
#include "crashreport/support/qixNVBitmap.h"

#include <functional>
#include <memory>
#include <string>

namespace qix {

// The record the network steps share.
using TMailJob = TNetworkJob;

// What the pipeline can put in place of the plain defaults.
struct TSendHooks {
    // Writes the report to the bug report file (the pipeline's save routine, which folds
    // duplicates and keeps the size limit). Unset: the text is written as it is.
    std::function<bool(const std::string& path, const std::string& report)> SaveReport;
    // The report was already saved to the bug report file by the caller.
    bool ReportAlreadySaved = false;
    // Called once when the report was handed over (the exception counts as sent).
    std::function<void()> MarkSent;
    // Shows the failure text on the owner. Unset: a message box with the error icon.
    std::function<void(void* owner, const std::string& text)> ShowFailure;
};

struct TSendRequest {
    std::string Report;
    PNVBitmap Screenshot;  // may be null
    void* Owner = nullptr; // HWND of the exception box
    std::shared_ptr<IQXSettings> Settings;
    bool Background = false; // a thread may do the work
    bool Silent = false;     // no message box, no mail program
    TSendHooks Hooks;
};

// How the last attempt ended, for diagnostics and tests.
// Aborted: the user pressed the progress window's button; no fall-back follows.
enum class TSendVia { Nothing, Network, Mapi, MapiCancelled, Mailto, Thread, Aborted };

struct TSendResult {
    bool HandedOver = false;
    TSendVia Via = TSendVia::Nothing;
    TNetworkOutcome Network;
};

// True when the report was handed over or a background thread took it. With `thread`
// the caller receives the thread's handle (to wait on and close), else it is closed.
bool SendBugReport(const TSendRequest& request, void** thread = nullptr,
                   TSendResult* result = nullptr);

} // namespace qix
