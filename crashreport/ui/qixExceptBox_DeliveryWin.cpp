// What the send and print buttons and the automatic send do: the delivery layer's
// SendBugReport with the box's save routine, and printing through the print dialog.
#include "crashreport/core/qixExcept_Pipeline.h"
#include "crashreport/delivery/qixExceptSend_Win.h"
#include "crashreport/ui/qixExceptBoxWin.h"

#include <commdlg.h>

#include <memory>

namespace qix {
namespace {

// The print dialog's results, released whichever way printing ends.
class TPrinterDc {
public:
    explicit TPrinterDc(const PRINTDLGA& pd) : pd_(pd) {}
    ~TPrinterDc() {
        if (pd_.hDC) DeleteDC(pd_.hDC);
        if (pd_.hDevMode) GlobalFree(pd_.hDevMode);
        if (pd_.hDevNames) GlobalFree(pd_.hDevNames);
    }
    TPrinterDc(const TPrinterDc&) = delete;
    TPrinterDc& operator=(const TPrinterDc&) = delete;
    HDC Dc() const { return pd_.hDC; }

private:
    PRINTDLGA pd_;
};

class TGdiObject {
public:
    explicit TGdiObject(HGDIOBJ object) : object_(object) {}
    ~TGdiObject() {
        if (object_) DeleteObject(object_);
    }
    TGdiObject(const TGdiObject&) = delete;
    TGdiObject& operator=(const TGdiObject&) = delete;
    HGDIOBJ Get() const { return object_; }

private:
    HGDIOBJ object_;
};

std::vector<std::string> PrintLines(const std::string& report) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        const size_t end = report.find("\r\n", start);
        std::string line = report.substr(start, end == std::string::npos ? end : end - start);
        lines.push_back(line.empty() ? " " : line);
        if (end == std::string::npos) break;
        start = end + 2;
    }
    return lines;
}

// The exception lives on in a send thread only through its own wait for that thread
// (the exception's destructor), so the pointer need not own it.
std::shared_ptr<IQXSettings> Unowned(IQXException& exception) {
    return std::shared_ptr<IQXSettings>(std::shared_ptr<void>(), &exception);
}

void SendFromBox(IQXException& exception, uintptr_t owner) {
    SendReport(exception, exception.CompleteReport(), owner, exception.SendInBackgr(), false);
}

void PrintFromBox(IQXException& exception, uintptr_t owner) {
    PrintReportText(exception.CompleteReport(), owner, &exception);
}

void AutoSendRoutine(IQXException& exception, const std::string& report) {
    SendReport(exception, report, 0, true, true);
}

bool AutoSaveRoutine(IQXException& exception) {
    return SaveReportSilently(exception);
}

} // namespace

bool SendReport(IQXException& exception, const std::string& report, uintptr_t owner,
                bool background, bool silent) {
    IQXExceptionEx& ex = ExceptionEx(exception);
    TSendRequest request;
    request.Report = report;
    if (exception.ScreenshotAppended())
        request.Screenshot = CaptureScreen(exception.ScrShotAppOnly());
    request.Owner = reinterpret_cast<void*>(owner);
    request.Settings = Unowned(exception);
    request.Background = background;
    request.Silent = silent;
    IQXException* e = &exception;
    request.Hooks.SaveReport = [e](const std::string& path, const std::string& text) {
        return StoreBugReportFile(path, text, 0, *e, true);
    };
    request.Hooks.ReportAlreadySaved = ex.ReportSaved();
    request.Hooks.MarkSent = [e] { ExceptionEx(*e).SetReportSent(true); };
    void** field = ex.SendThreadField();
    if (field && *field) {
        CloseHandle(*field);
        *field = nullptr;
    }
    void* thread = nullptr;
    const bool ok = SendBugReport(request, &thread);
    if (thread) {
        if (field)
            *field = thread;
        else
            CloseHandle(thread);
    }
    return ok;
}

bool PrintReportText(const std::string& report, uintptr_t owner, IQXSettings* settings) {
    if (ProcessIsBlocked()) {
        MessageBeep(MB_OK);
        return false;
    }
    PRINTDLGA pd{};
    pd.lStructSize = sizeof pd;
    pd.hwndOwner = reinterpret_cast<HWND>(owner);
    pd.Flags = PD_RETURNDC | PD_NOSELECTION | PD_NOPAGENUMS | PD_HIDEPRINTTOFILE;
    const BOOL chosen = PrintDlgA(&pd);
    TPrinterDc printer(pd);
    if (!chosen || !printer.Dc()) return false;
    HDC dc = printer.Dc();
    SetMapMode(dc, MM_TEXT);
    const int vertRes = GetDeviceCaps(dc, VERTRES), vertSize = GetDeviceCaps(dc, VERTSIZE);
    if (vertSize <= 0) return false;
    const int cm = (vertRes * 10 + vertSize / 2) / vertSize;
    const int top = cm - GetDeviceCaps(dc, PHYSICALOFFSETY);
    const int left = 2 * cm - GetDeviceCaps(dc, PHYSICALOFFSETX);
    const int width = GetDeviceCaps(dc, HORZRES) + GetDeviceCaps(dc, PHYSICALOFFSETX) - left - cm;
    const int usable = vertRes - 2 * top;
    TGdiObject font(CreateFontA(-(GetDeviceCaps(dc, LOGPIXELSY) * 8 / 72), 0, 0, 0, FW_NORMAL, 0, 0,
                                0, DEFAULT_CHARSET, 0, 0, 0, FIXED_PITCH, "Courier New"));
    const std::string name = settings ? settings->PrintBtnTxt() : std::string("bug report");
    DOCINFOA doc{};
    doc.cbSize = sizeof doc;
    doc.lpszDocName = name.c_str();
    if (StartDocA(dc, &doc) <= 0) return false;
    bool ok = StartPage(dc) > 0;
    SelectObject(dc, font.Get());
    int y = top;
    constexpr UINT kFlags = DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS;
    for (const std::string& line : PrintLines(report)) {
        if (!ok) break;
        RECT r{left, 0, left + width, 0};
        DrawTextA(dc, line.c_str(), static_cast<int>(line.size()), &r, kFlags | DT_CALCRECT);
        const int height = r.bottom - r.top;
        if (y > top && y + height > top + usable) {
            ok = EndPage(dc) > 0 && StartPage(dc) > 0;
            SelectObject(dc, font.Get()); // a new page may start with the default font
            y = top;
        }
        r = {left, y, left + width, y + height};
        DrawTextA(dc, line.c_str(), static_cast<int>(line.size()), &r, kFlags);
        y += height;
    }
    if (ok) ok = EndPage(dc) > 0;
    if (!ok) {
        AbortDoc(dc);
        return false;
    }
    return EndDoc(dc) > 0;
}

bool SaveReportSilently(IQXException& exception) {
    if (!StoreBugReportFile({}, exception.CompleteReport(), 0, exception, true)) return false;
    ExceptionEx(exception).SetReportSaved(true);
    return true;
}

void InstallDeliveryRoutines() {
    SetBoxSendSeam(&SendFromBox);
    SetBoxPrintSeam(&PrintFromBox);
    TAutoActionRoutines routines;
    routines.save = &AutoSaveRoutine;
    routines.send = &AutoSendRoutine;
    SetAutoActionRoutines(routines);
}

} // namespace qix
