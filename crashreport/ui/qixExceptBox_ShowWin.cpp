// What the pipeline shows once an exception is handled: in a CGI process a page on
// standard output, in a console program the message (and the report) as text, else the
// box in its mode.
#include "crashreport/core/qixExcept_Pipeline.h"
#include "crashreport/ui/qixExceptBoxWin.h"

namespace qix {
namespace {

bool IsConsoleProgram() {
    const auto* base = reinterpret_cast<const uint8_t*>(GetModuleHandleA(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (!base || dos->e_magic != IMAGE_DOS_SIGNATURE) return false;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    return nt->Signature == IMAGE_NT_SIGNATURE &&
           nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

// A web server starts CGI programs with this variable set.
bool IsCgiProcess() {
    char value[64];
    return GetEnvironmentVariableA("GATEWAY_INTERFACE", value, sizeof value) > 0;
}

void WriteOut(const std::string& text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!out || out == INVALID_HANDLE_VALUE) return;
    size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        if (!WriteFile(out, text.data() + done, static_cast<DWORD>(text.size() - done), &written,
                       nullptr) ||
            written == 0)
            return;
        done += written;
    }
}

std::string ExpandedMessage(IQXException& e) {
    const bool freeze = e.ReportKind() == TReportKind::Freeze;
    return e.Expand(freeze ? e.FrozenMsg() : e.ExceptMsg(), e.ObjectMessage());
}

void WritePage(IQXException& e) {
    THtmlTexts texts;
    texts.title = e.Expand(e.TitleBar(), e.ObjectMessage());
    texts.message = ExpandedMessage(e);
    texts.continueCaption = e.ContinueBtnVis() ? e.ContinueBtnTxt() : "continue application";
    texts.showCaption = e.ShowBtnTxt();
    texts.reportVisible = e.AutoShowBugRep();
    texts.showButton = e.ShowBtnVis() && !texts.reportVisible;
    WriteOut("Content-Type: text/html\r\n\r\n" + RenderReportHtml(e.CompleteReport(), texts));
}

void WriteConsoleText(IQXException& e) {
    std::string text = ExpandedMessage(e);
    // The line-break variable may already be expanded; console lines end in CR LF.
    for (size_t at = text.find("%LF%"); at != std::string::npos; at = text.find("%LF%", at))
        text.replace(at, 4, "\r\n");
    text += "\r\n";
    if (e.AutoShowBugRep() || e.ShowBtnVis()) {
        (void)e.SetPlWaitBox(false);
        text += "\r\n" + e.CompleteReport() + "\r\n";
    }
    WriteOut(text);
}

// False when no box was shown: the pipeline then decides what happens next.
bool ShowExceptionDialogRouted(IQXException& exception) {
    if (IsCgiProcess()) {
        WritePage(exception);
        return false;
    }
    if (IsConsoleProgram()) {
        WriteConsoleText(exception);
        return false;
    }
    return ShowExceptionBox(exception);
}

} // namespace

void InstallExceptionBox() {
    InitCommonControls();
    InstallDeliveryRoutines();
    SetShowDialogHook(&ShowExceptionDialogRouted);
}

} // namespace qix
