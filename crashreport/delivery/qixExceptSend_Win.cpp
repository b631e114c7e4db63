#include "crashreport/delivery/qixExceptSend_Win.h"

#include "crashreport/core/qixExcept_LoaderLock.h"
#include "crashreport/core/qixExcept_SettingsWin.h"
#include "crashreport/delivery/qixExceptSend_Job.h"
#include "crashreport/delivery/qixExceptSend_WinMail.h"
#include "crashreport/delivery/qixExceptSend_WinNet.h"
#include "crashreport/ui/qixNVPrgrAlert.h"

#include <windows.h>
// shellapi.h needs the Windows types.
#include <shellapi.h>

#include <algorithm>
#include <cstdio>

namespace qix {

namespace {

// No setting names the progress window's button: the system's own word for stopping.
constexpr char kAbortCaption[] = "Cancel";

std::string TempFolder() {
    char buffer[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathA(sizeof buffer, buffer);
    std::string dir = n && n < sizeof buffer ? std::string(buffer, n) : std::string(".\\");
    if (dir.back() != '\\' && dir.back() != '/') dir += '\\';
    return dir;
}

std::string ExeFolder() {
    char buffer[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    std::string path(buffer, n);
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool IsRelative(const std::string& path) {
    return !(path.size() > 1 && path[1] == ':') &&
           !(!path.empty() && (path[0] == '\\' || path[0] == '/'));
}

std::string FileNameOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool FileExists(const std::string& path) {
    const DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool AppendText(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "ab");
    if (!f) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

// The files that travel with the report, before packing.
struct TAttachPlan {
    std::vector<TAttachment> List;
    std::string DeleteAfterSend; // the local bug report file, when its copy travels
};

TAttachPlan PlanAttachments(const TSendRequest& r, IQXSettings& s, const std::string& temp) {
    TAttachPlan plan;
    if (s.AttachBugRep()) {
        std::string local = s.BugRepFile();
        if (IsRelative(local)) local = ExeFolder() + local;
        const std::string copy = temp + FileNameOf(local);
        bool copied = false;
        if (s.AttachBugRepFile()) copied = CopyFileA(local.c_str(), copy.c_str(), FALSE);
        if (copied && s.DelBugRepFile()) plan.DeleteAfterSend = local;
        if (!copied) DeleteFileA(copy.c_str());
        if (!(s.AttachBugRepFile() && r.Hooks.ReportAlreadySaved)) {
            if (r.Hooks.SaveReport)
                (void)r.Hooks.SaveReport(copy, r.Report);
            else
                (void)AppendText(copy, r.Report);
        }
        if (FileExists(copy))
            plan.List.push_back({copy, s.BugRepSendAs(), s.BugRepZip(), "BugReport"});
        else
            plan.DeleteAfterSend.clear();
    }
    if (r.Screenshot) {
        const std::string png = temp + "screenShot.png";
        if (r.Screenshot->WritePngFile(png, ScreenshotPngMode(s.ScrShotDepth())))
            plan.List.push_back({png, s.ScrShotSendAs(), s.ScrShotZip(), "ScreenShot"});
    }
    if (auto extra = s.AdditionalAttachments()) {
        for (int i = 0; i < extra->ItemCount(); ++i) {
            TAttachment a;
            if (extra->GetItem(i, a.SourceFile, a.SendAsName, a.ZipFile, a.FieldName))
                plan.List.push_back(a);
        }
    }
    return plan;
}

TSendChannel ChooseChannel(IQXSettings& s) {
    if (s.MailAsSmtpServer())
        return s.MailAddr().empty() ? TSendChannel::None : TSendChannel::SmtpDirect;
    if (s.MailAsSmtpClient())
        return s.MailAddr().empty() || s.SmtpServer().empty() ? TSendChannel::None
                                                              : TSendChannel::SmtpRelay;
    if (s.UploadViaHttp())
        return s.HttpServer().empty() ? TSendChannel::None : TSendChannel::HttpUpload;
    return TSendChannel::None;
}

std::string ComputerName() {
    char buffer[MAX_COMPUTERNAME_LENGTH + 2] = {};
    DWORD size = sizeof buffer;
    return GetComputerNameA(buffer, &size) ? std::string(buffer, size) : std::string("localhost");
}

void StampNow(TMailJob& job) {
    SYSTEMTIME t;
    GetSystemTime(&t);
    job.Date = {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
    FILETIME ft;
    SystemTimeToFileTime(&t, &ft);
    job.FileTime = (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

std::vector<std::pair<std::string, std::string>> FieldsOf(IQXSettings& s,
                                                          const std::string& sender) {
    std::vector<std::pair<std::string, std::string>> fields;
    if (auto list = s.AdditionalFields()) {
        for (int i = 0; i < list->ItemCount(); ++i) {
            const std::string name = list->Item(i);
            fields.emplace_back(name, list->Contents(name));
        }
    }
    if (sender.empty()) return fields;
    // A copy: the settings' own list stays as the user made it.
    const auto known = std::find_if(fields.begin(), fields.end(),
                                    [](const auto& f) { return f.first == "MailFrom"; });
    if (known != fields.end())
        known->second = sender;
    else
        fields.emplace_back("MailFrom", sender);
    return fields;
}

// The texts of one send, expanded once.
struct TMailTexts {
    std::string Subject, Body, Recipients, Sender;
};

TMailJob JobFor(TSendChannel channel, IQXSettings& s, const TMailTexts& t,
                const std::vector<TSendFile>& files) {
    TMailJob job;
    job.Sender = t.Sender;
    job.Attachments = files;
    job.ComputerName = ComputerName();
    job.PhaseText = [&s](const std::string& name) { return s.GetPropStr(name); };
    StampNow(job);
    if (channel == TSendChannel::HttpUpload) {
        job.Url = s.HttpServer();
        job.Proxy = SystemProxy();
        job.Port = uint16_t(s.HttpPort());
        job.Account = s.HttpAccount();
        job.Password = s.HttpPassword();
        job.Fields = FieldsOf(s, t.Sender);
        return job;
    }
    job.Recipients = t.Recipients;
    job.Subject = t.Subject;
    job.Body = t.Body;
    if (channel == TSendChannel::SmtpRelay) {
        job.Server = s.SmtpServer();
        job.Port = uint16_t(s.SmtpPort());
        job.Account = s.SmtpAccount();
        job.Password = s.SmtpPassword();
    }
    return job;
}

bool TryNetwork(TSendChannel channel, IQXSettings& s, const TMailTexts& t,
                const std::vector<TSendFile>& files, IProgressAlert& progress,
                TSendResult& result) {
    if (channel == TSendChannel::None || !IsOnline()) return false;
    TMailJob job = JobFor(channel, s, t, files);
    TWinsockUse winsock;
    if (!winsock.Ok()) return false;
    if (channel == TSendChannel::SmtpDirect) job.DnsServers = GetDnsServers();
    // On the window's thread the clicks arrive only while someone pumps.
    job.Aborted = [&progress] {
        progress.PumpMessages();
        return progress.Aborted();
    };
    TWinsockNetwork network;
    network.SetAbortCheck(job.Aborted);
    result.Network = SendViaNetwork(job, network, &progress);
    if (result.Network.Aborted) result.Via = TSendVia::Aborted;
    if (!result.Network.Sent) return false;
    if (!result.Network.BrowserUrl.empty())
        ShellExecuteA(nullptr, "open", result.Network.BrowserUrl.c_str(), nullptr, nullptr,
                      SW_SHOWNORMAL);
    result.Via = TSendVia::Network;
    return true;
}

// MAPI, then mailto, then the failure message; the result's Via says which took it.
void RunFallbacks(const TSendRequest& r, IQXSettings& s, const TMailTexts& t,
                  const std::vector<TSendFile>& files, TSendResult& result) {
    if (s.MailViaMapi()) {
        std::vector<std::string> names, paths;
        for (const TSendFile& f : files) {
            names.push_back(f.SendAsName);
            paths.push_back(f.File);
        }
        switch (SendViaMapi(t.Recipients, t.Subject, t.Body, r.Silent, r.Owner, names, paths)) {
        case TMapiResult::Sent:
            result.Via = TSendVia::Mapi;
            return;
        case TMapiResult::Cancelled:
            result.Via = TSendVia::MapiCancelled;
            return;
        case TMapiResult::Failed:
            break;
        }
    }
    if (r.Silent) return;
    if (s.MailViaMailto()) {
        TNotTopMost lowered(r.Owner);
        if (SendViaMailto(t.Recipients, t.Subject, r.Report)) {
            result.Via = TSendVia::Mailto;
            return;
        }
    }
    if (r.Hooks.ShowFailure)
        r.Hooks.ShowFailure(r.Owner, s.SendFailMsg());
    else
        MessageBoxA(static_cast<HWND>(r.Owner), s.SendFailMsg().c_str(), nullptr, MB_ICONERROR);
}

TSendResult SendNow(const TSendRequest& r, bool inThread) {
    TSendResult result;
    IQXSettings& s = *r.Settings;
    const auto env = WindowsSettingsEnvironment();
    const std::string message = ExceptionMessageOf(r.Report);
    auto expand = [&](const std::string& text) {
        return ExpandVariables(text, *env, s.OwnerModule(), message, r.Report);
    };
    const TMailTexts texts{expand(s.MailSubj()), expand(s.MailBody()), s.MailAddr(),
                           SenderFor(s.MailFrom(), s.MailAddr())};
    const std::string temp = TempFolder();
    TAttachPlan plan;
    if (s.MailAsSmtpServer() || s.MailAsSmtpClient() || s.UploadViaHttp() || s.MailViaMapi())
        plan = PlanAttachments(r, s, temp);

    const TSendChannel channel = ChooseChannel(s);
    PProgressAlert progress = CreateProgressAlert(
        s.SendBoxTitle(), reinterpret_cast<void*>(s.OwnerModule()), "QXISEND32");
    progress->AllowAbort(kAbortCaption);
    for (const TSendPhase& p : OverviewPhases(channel, !plan.List.empty()))
        progress->AddPhase(p.TextSetting.empty() ? std::string() : s.GetPropStr(p.TextSetting),
                           p.Weight);
    if (!r.Silent || s.AutoSendBox()) progress->Display(inThread ? nullptr : r.Owner, !inThread);
    const std::vector<TSendFile> files = PackAttachments(plan.List, temp);
    progress->PhaseDone();
    const bool viaNetwork = TryNetwork(channel, s, texts, files, *progress, result);
    progress->Dismiss();
    progress.reset();

    if (!viaNetwork && result.Via != TSendVia::Aborted) RunFallbacks(r, s, texts, files, result);
    result.HandedOver = result.Via == TSendVia::Network || result.Via == TSendVia::Mapi ||
                        result.Via == TSendVia::Mailto;
    if (!result.HandedOver) return result;
    if (r.Hooks.MarkSent) r.Hooks.MarkSent();
    // Through mailto the file did not travel, so it stays.
    if (result.Via != TSendVia::Mailto && !plan.DeleteAfterSend.empty()) {
        SetFileAttributesA(plan.DeleteAfterSend.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(plan.DeleteAfterSend.c_str());
    }
    return result;
}

DWORD WINAPI SendThread(void* parameter) {
    const std::unique_ptr<TSendRequest> request(static_cast<TSendRequest*>(parameter));
    (void)SendNow(*request, true);
    return 0;
}

} // namespace

bool SendBugReport(const TSendRequest& request, void** thread, TSendResult* result) {
    if (thread) *thread = nullptr;
    if (!request.Settings) return false;
    // A new thread must attach to every DLL under the loader lock: with the lock held it
    // would never start.
    if (request.Background && !ProcessIsBlocked()) {
        HWND owner = static_cast<HWND>(request.Owner);
        if (owner && IsWindow(owner))
            SetWindowPos(owner, HWND_NOTOPMOST, 0, 0, 0, 0,
                         SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        auto copy = std::make_unique<TSendRequest>(request);
        copy->Owner = nullptr;
        HANDLE h = CreateThread(nullptr, 0, SendThread, copy.get(), 0, nullptr);
        if (h) {
            copy.release();
            if (thread)
                *thread = h;
            else
                CloseHandle(h);
            if (result) *result = {true, TSendVia::Thread, {}};
            return true;
        }
    }
    TSendResult r = SendNow(request, false);
    if (result) *result = r;
    return r.HandedOver;
}

} // namespace qix
