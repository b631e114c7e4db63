// The exception box: the window the user sees once the pipeline has handled an
// exception, its reduced message-box modes and its expanded mode with the report tabs.
// Windows only; the header itself stays free of <windows.h>.
#pragma once

#include "crashreport/core/qixExcept_Exception.h"

#include <cstdint>
#include <string>

namespace qix {

// Plugs the box into the pipeline's show-dialog hook.
void InstallExceptionBox();
// Shows the box for `exception` in its show mode and returns when it is closed.
bool ShowExceptionBox(IQXException& exception);

// Called with the box window right before it is shown (tests, embedding hosts).
using TBoxShowHook = void (*)(uintptr_t window, bool messageBoxMode);
void SetBoxShowHook(TBoxShowHook hook);

// Saves the report into the bug report file (folding duplicates, keeping the size
// limit); `owner` 0 with `silent` never asks. True when written.
bool StoreBugReportFile(const std::string& fileName, const std::string& reportText, uintptr_t owner,
                        IQXException& exception, bool silent);

// Seams for sending and printing; InstallExceptionBox puts the real ones in. Without
// one installed the button does nothing beyond its handlers.
using TBoxDeliverySeam = void (*)(IQXException& exception, uintptr_t owner);
void SetBoxSendSeam(TBoxDeliverySeam seam);
void SetBoxPrintSeam(TBoxDeliverySeam seam);

// Starts sending `report`: in the background when SendInBackgr says so (the thread's
// handle is kept on the exception), with the screenshot when one is to be appended.
// `silent`: no progress window unless AutoSendBox, no messages, no mail program.
bool SendReport(IQXException& exception, const std::string& report, uintptr_t owner,
                bool background, bool silent);
// Prints the report on the printer the user picks in the print dialog; false when
// nothing was printed. `settings` may be null (document name "bug report").
bool PrintReportText(const std::string& report, uintptr_t owner, IQXSettings* settings);
// Saves the complete report silently into the bug report file; marks it saved.
bool SaveReportSilently(IQXException& exception);

} // namespace qix
