#include "crashreport/delivery/qixExceptSend_Network.h"

#include "crashreport/delivery/qixExceptSend_Http.h"
#include "crashreport/delivery/qixExceptSend_Job.h"
#include "crashreport/delivery/qixExceptSend_Smtp.h"

#include <filesystem>
#include <system_error>

namespace qix {

namespace {

constexpr uint64_t kPrepareWeight = 1000;

class TPhases {
public:
    TPhases(const TNetworkJob& job, IProgressAlert* progress) : Job(job), Progress(progress) {}

    // Adds the phases and returns the index just past them.
    int32_t Add(const std::vector<TSendPhase>& phases) {
        for (const TSendPhase& p : phases) {
            if (Progress)
                Progress->AddPhase(p.TextSetting.empty() || !Job.PhaseText
                                       ? std::string()
                                       : Job.PhaseText(p.TextSetting),
                                   p.Weight);
            ++Count;
        }
        return Count;
    }
    void Done(int times = 1) {
        for (int i = 0; Progress && i < times; ++i)
            Progress->PhaseDone();
    }
    void JumpTo(int32_t index) {
        if (Progress) Progress->SetPhase(index);
    }
    int32_t Count = 1; // the preparation phase

private:
    const TNetworkJob& Job;
    IProgressAlert* Progress;
};

std::vector<uint64_t> FileSizes(const std::vector<TSendFile>& files) {
    std::vector<uint64_t> sizes;
    for (const TSendFile& f : files) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(f.File, ec);
        sizes.push_back(ec ? 0 : uint64_t(size));
    }
    return sizes;
}

TMailMessage MessageOf(const TNetworkJob& job, const std::string& sender) {
    TMailMessage m;
    m.To = job.Recipients;
    m.From = sender;
    m.Subject = job.Subject;
    m.Body = job.Body;
    m.Date = job.Date;
    m.FileTime = job.FileTime;
    for (const TSendFile& f : job.Attachments)
        m.Attachments.push_back({f.File, f.SendAsName});
    return m;
}

// A failure worth trying the next exchanger for: the host was not there or not ready.
bool StopRequested(const TNetworkJob& job, TNetworkOutcome& outcome) {
    if (!outcome.Aborted && job.Aborted && job.Aborted()) outcome.Aborted = true;
    return outcome.Aborted;
}

bool TryNextHost(TSmtpFailure failure) {
    return failure == TSmtpFailure::NoConnection || failure == TSmtpFailure::Greeting ||
           failure == TSmtpFailure::BadReply;
}

bool RunSmtp(const TNetworkJob& job, ISendNetwork& network, TPhases& phases,
             IProgressAlert* progress, const std::vector<std::string>& hosts,
             const std::string& recipients, TNetworkOutcome& outcome) {
    TSmtpSessionSetup setup;
    setup.ComputerName = job.ComputerName;
    setup.Sender = job.Sender.empty() ? SplitRecipients(recipients).front() : job.Sender;
    setup.Recipients = recipients;
    setup.Account = job.Account;
    setup.Password = job.Password;
    setup.HasMessage = !job.Subject.empty() || !job.Body.empty();
    const TMailMessage message = MessageOf(job, setup.Sender);
    bool connectedOnce = false;
    for (const std::string& host : hosts) {
        if (StopRequested(job, outcome)) break;
        std::unique_ptr<IByteChannel> channel = network.Connect(host, job.Port);
        if (!channel) {
            outcome.Notes.push_back(host + ": no connection");
            continue;
        }
        if (!connectedOnce) phases.Done(2); // address and connection
        connectedOnce = true;
        const TSmtpOutcome out = RunSmtpSession(setup, message, *channel, progress);
        if (out.Delivered) return true;
        if (StopRequested(job, outcome)) break;
        outcome.Notes.push_back(host + ": " + SmtpFailureText(out.Failure));
        if (!TryNextHost(out.Failure)) break;
    }
    return false;
}

void SendDirect(const TNetworkJob& job, ISendNetwork& network, TPhases& phases,
                IProgressAlert* progress, TNetworkOutcome& outcome) {
    const std::vector<TDomainRecipients> groups = GroupRecipientsByDomain(job.Recipients);
    const std::vector<TSendPhase> block = SmtpSessionPhases(true, FileSizes(job.Attachments));
    std::vector<int32_t> ends;
    for (size_t i = 0; i < groups.size(); ++i)
        ends.push_back(phases.Add(block));
    phases.Done();
    for (size_t i = 0; i < groups.size(); ++i) {
        if (StopRequested(job, outcome)) break;
        const std::vector<std::string> hosts =
            LookupMailHosts(network, "@" + groups[i].Domain, job.DnsServers);
        phases.Done();
        if (hosts.empty())
            outcome.Notes.push_back(groups[i].Domain + ": no mail host");
        else if (RunSmtp(job, network, phases, progress, hosts, groups[i].Recipients, outcome))
            outcome.Sent = true;
        phases.JumpTo(ends[i]);
    }
}

void SendRelay(const TNetworkJob& job, ISendNetwork& network, TPhases& phases,
               IProgressAlert* progress, TNetworkOutcome& outcome) {
    const int32_t end = phases.Add(SmtpSessionPhases(false, FileSizes(job.Attachments)));
    phases.Done();
    if (!SplitRecipients(job.Recipients).empty())
        outcome.Sent =
            RunSmtp(job, network, phases, progress, {job.Server}, job.Recipients, outcome);
    phases.JumpTo(end);
}

void SendUpload(const TNetworkJob& job, ISendNetwork& network, TPhases& phases,
                IProgressAlert* progress, TNetworkOutcome& outcome) {
    TUploadRequest request;
    request.Target = ParseUploadUrl(job.Url, job.Port, job.Proxy);
    request.Sender = job.Sender;
    request.Account = job.Account;
    request.Password = job.Password;
    request.Fields = job.Fields;
    for (const TSendFile& f : job.Attachments)
        request.Files.push_back({f.File, f.FieldName, f.SendAsName, 0});
    PlanUploadFiles(request.Files);
    std::vector<uint64_t> parts;
    for (const TUploadFile& f : request.Files)
        if (f.Size) parts.push_back(UploadPartLength(f));
    phases.Add(UploadPhases(BuildFieldsText(request.Fields).size(), parts));
    phases.Done();
    if (StopRequested(job, outcome)) return;
    std::unique_ptr<IByteChannel> channel =
        network.Connect(request.Target.ConnectHost, request.Target.Port);
    if (!channel) {
        outcome.Notes.push_back(request.Target.ConnectHost + ": no connection");
        return;
    }
    phases.Done(2);
    const TUploadOutcome out = RunUpload(request, *channel, progress);
    outcome.Sent = out.Succeeded();
    if (!outcome.Sent) StopRequested(job, outcome);
    outcome.BrowserUrl = out.BrowserUrl;
    if (!outcome.Sent)
        outcome.Notes.push_back(request.Target.ConnectHost + ": answer " +
                                std::to_string(out.Code));
}

} // namespace

TNetworkOutcome SendViaNetwork(const TNetworkJob& job, ISendNetwork& network,
                               IProgressAlert* progress) {
    TNetworkOutcome outcome;
    if (progress) {
        progress->ClearPhases();
        progress->AddPhase("Prepare attachments...", kPrepareWeight);
    }
    TPhases phases(job, progress);
    if (!job.Url.empty())
        SendUpload(job, network, phases, progress, outcome);
    else if (!job.Server.empty())
        SendRelay(job, network, phases, progress, outcome);
    else
        SendDirect(job, network, phases, progress, outcome);
    return outcome;
}

} // namespace qix
