// What the box's save button does with the file on disk, and the seams through which
// the buttons send and print.
#include "crashreport/analysis/qixDisAsmProcessMemory.h"
#include "crashreport/core/qixExcept_Pipeline.h"
#include "crashreport/ui/qixExceptBox_File.h"
#include "crashreport/ui/qixExceptBoxWin.h"

#include <commdlg.h>

namespace qix {
namespace {

TBoxDeliverySeam g_sendSeam = nullptr;
TBoxDeliverySeam g_printSeam = nullptr;

class TFile {
public:
    explicit TFile(const std::string& name)
        : handle_(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~TFile() {
        if (Open()) CloseHandle(handle_);
    }
    TFile(const TFile&) = delete;
    TFile& operator=(const TFile&) = delete;
    bool Open() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_;
};

} // namespace

bool StoreBugReportFile(const std::string& fileName, const std::string& reportText, uintptr_t owner,
                        IQXException& exception, bool silent) {
    std::string name = fileName;
    if (name.empty()) {
        name = ReplaceNoCase(exception.BugRepFile(), "%appname%", ModuleBaseName(nullptr));
        name = ReplaceNoCase(name, "%modname%",
                             ModuleBaseName(reinterpret_cast<void*>(exception.OwnerModule())));
    }
    if (!IsAbsolutePath(name)) {
        const std::string folder = ModuleFolder(nullptr);
        if (silent) {
            name = folder + name;
        } else {
            if (ProcessIsBlocked()) {
                MessageBeep(MB_OK);
                return false;
            }
            char buffer[MAX_PATH + 1] = {};
            lstrcpynA(buffer, name.c_str(), MAX_PATH);
            const std::string title = exception.SaveBtnTxt();
            OPENFILENAMEA ofn{};
            ofn.lStructSize = sizeof ofn;
            ofn.hwndOwner = reinterpret_cast<HWND>(owner);
            ofn.lpstrFile = buffer;
            ofn.nMaxFile = MAX_PATH;
            ofn.lpstrFilter = "*.txt\0*.txt\0\0";
            ofn.lpstrInitialDir = folder.c_str();
            ofn.lpstrTitle = title.c_str();
            ofn.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT;
            if (!GetSaveFileNameA(&ofn)) return false;
            name = buffer;
        }
    }
    for (size_t i = name.find_first_of("\\/", 3); i != std::string::npos;
         i = name.find_first_of("\\/", i + 1))
        CreateDirectoryA(name.substr(0, i).c_str(), nullptr);
    TFile file(name);
    if (!file.Open()) return false;
    // Read even when not appending: a failed write puts the old content back.
    std::string existing;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file.Get(), &size) && size.QuadPart > 0 && size.QuadPart < (1 << 30)) {
        existing.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        if (!ReadFile(file.Get(), existing.data(), static_cast<DWORD>(existing.size()), &read,
                      nullptr) ||
            read != existing.size())
            return false;
    }
    TBugFileRules rules;
    rules.append = exception.AppendBugReps();
    rules.noDupExcepts = exception.NoDupExcepts();
    rules.noDupFreezes = exception.NoDupFreezes();
    rules.dupExceptDef = exception.DupExceptDef();
    rules.dupFreezeDef = exception.DupFreezeDef();
    rules.sizeLimit = exception.BugRepFileSize();
    const std::string content =
        ComposeBugReportFile(rules.append ? existing : std::string(), reportText, rules);
    SetFilePointer(file.Get(), 0, nullptr, FILE_BEGIN);
    DWORD written = 0;
    const bool ok = WriteFile(file.Get(), content.data(), static_cast<DWORD>(content.size()),
                              &written, nullptr) &&
                    written == content.size() && SetEndOfFile(file.Get());
    if (!ok) {
        // A full disk must not cost the reports already in the file.
        SetFilePointer(file.Get(), 0, nullptr, FILE_BEGIN);
        DWORD restored = 0;
        WriteFile(file.Get(), existing.data(), static_cast<DWORD>(existing.size()), &restored,
                  nullptr);
        SetEndOfFile(file.Get());
        return false;
    }
    return true;
}

void SetBoxSendSeam(TBoxDeliverySeam seam) {
    g_sendSeam = seam;
}
void SetBoxPrintSeam(TBoxDeliverySeam seam) {
    g_printSeam = seam;
}

// InstallExceptionBox puts the real send and print in; tests may put their own, and
// without either the buttons only fire their handlers.
void RunDeliverySeam(int code, IQXException& exception, uintptr_t owner) {
    TBoxDeliverySeam seam = code == 0 ? g_sendSeam : code == 2 ? g_printSeam : nullptr;
    if (seam) seam(exception, owner);
}

} // namespace qix
