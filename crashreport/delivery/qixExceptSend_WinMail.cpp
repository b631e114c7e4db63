#include "crashreport/delivery/qixExceptSend_WinMail.h"

#include "crashreport/core/qixExcept_LoaderLock.h"
#include "crashreport/delivery/qixExceptSend_Mailto.h"
#include "crashreport/delivery/qixExceptSend_Mime.h"

#include <windows.h>
// mapi.h needs the Windows types.
#include <mapi.h>

namespace qix {

namespace {

struct TMapiRecipient {
    std::string Name, Address;
};

TMapiRecipient RecipientOf(const std::string& entry) {
    const size_t lt = entry.find('<');
    const size_t gt = entry.find('>', lt == std::string::npos ? 0 : lt);
    if (lt == std::string::npos || gt == std::string::npos) return {entry, "SMTP:" + entry};
    std::string name = entry.substr(0, lt);
    name.erase(name.find_last_not_of(" \t") + 1);
    return {name.empty() ? entry.substr(lt + 1, gt - lt - 1) : name,
            "SMTP:" + entry.substr(lt + 1, gt - lt - 1)};
}

} // namespace

TNotTopMost::TNotTopMost(void* window) {
    HWND h = static_cast<HWND>(window);
    if (h && IsWindow(h) && (GetWindowLongA(h, GWL_EXSTYLE) & WS_EX_TOPMOST)) {
        SetWindowPos(h, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        window_ = window;
    }
}

TNotTopMost::~TNotTopMost() {
    HWND h = static_cast<HWND>(window_);
    if (h && IsWindow(h))
        SetWindowPos(h, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

TMapiResult SendViaMapi(const std::string& recipients, const std::string& subject,
                        const std::string& body, bool silent, void* ownerWindow,
                        const std::vector<std::string>& sendAsNames,
                        const std::vector<std::string>& files) {
    // The mail program's provider loads DLLs of its own.
    if (ProcessIsBlocked()) return TMapiResult::Failed;
    HMODULE lib = LoadLibraryA("mapi32.dll");
    if (!lib) return TMapiResult::Failed;
    const auto send = reinterpret_cast<LPMAPISENDMAIL>(
        reinterpret_cast<void*>(GetProcAddress(lib, "MAPISendMail")));
    if (!send) {
        FreeLibrary(lib);
        return TMapiResult::Failed;
    }
    std::vector<TMapiRecipient> people;
    for (const std::string& r : SplitRecipients(recipients))
        people.push_back(RecipientOf(r));
    std::vector<MapiRecipDesc> recips(people.size());
    for (size_t i = 0; i < people.size(); ++i) {
        recips[i] = {};
        recips[i].ulRecipClass = MAPI_TO;
        recips[i].lpszName = people[i].Name.data();
        recips[i].lpszAddress = people[i].Address.data();
    }
    std::vector<std::string> paths = files, names = sendAsNames;
    names.resize(paths.size());
    std::vector<MapiFileDesc> attach(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        attach[i] = {};
        attach[i].nPosition = ULONG(-1);
        attach[i].lpszPathName = paths[i].data();
        attach[i].lpszFileName = names[i].empty() ? nullptr : names[i].data();
    }
    std::string subj = subject, note = body;
    MapiMessage message{};
    message.lpszSubject = subj.data();
    message.lpszNoteText = note.data();
    message.nRecipCount = ULONG(recips.size());
    message.lpRecips = recips.empty() ? nullptr : recips.data();
    message.nFileCount = ULONG(attach.size());
    message.lpFiles = attach.empty() ? nullptr : attach.data();
    const ULONG flags = silent && !recips.empty() ? 0 : MAPI_LOGON_UI | MAPI_DIALOG;
    ULONG code;
    {
        TNotTopMost lowered(ownerWindow);
        code = send(0, ULONG_PTR(ownerWindow), &message, flags, 0);
    }
    FreeLibrary(lib);
    if (code == SUCCESS_SUCCESS) return TMapiResult::Sent;
    return code == MAPI_USER_ABORT ? TMapiResult::Cancelled : TMapiResult::Failed;
}

bool SendViaMailto(const std::string& recipients, const std::string& subject,
                   const std::string& body) {
    char raw[261] = {};
    LONG size = 260;
    if (RegQueryValueA(HKEY_CLASSES_ROOT, "mailto\\shell\\open\\command", raw, &size) !=
        ERROR_SUCCESS)
        return false;
    char expanded[1024] = {};
    if (ExpandEnvironmentStringsA(raw, expanded, sizeof expanded) == 0 ||
        ExpandEnvironmentStringsA(raw, expanded, sizeof expanded) > sizeof expanded)
        return false;
    if (!*expanded) return false;
    std::string recipientList;
    for (const std::string& r : SplitRecipients(recipients))
        recipientList += (recipientList.empty() ? "" : ",") + r;
    const bool nt = GetVersion() < 0x80000000u;
    std::string command = BuildMailtoCommand(expanded, BuildMailtoUrl(recipientList, subject, body),
                                             nt ? kMaxNtCommandLine : size_t(-1));
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

} // namespace qix
