// One run of the network channel: direct SMTP to each recipient domain's exchangers,
// SMTP through a relay, or the HTTP upload, with the progress phases of each. The
// sockets stay behind ISendNetwork, so this runs natively against fakes and loopback.
#pragma once

#include "crashreport/delivery/qixExceptSend_Channel.h"
#include "crashreport/delivery/qixExceptSend_Dns.h"
#include "crashreport/delivery/qixExceptSend_Mime.h"
#include "crashreport/delivery/qixZip.h"
#include "crashreport/ui/qixProgressAlert.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qix {

// True once the user has aborted the send.
using TAbortCheck = std::function<bool()>;

struct ISendNetwork : IDnsExchange {
    // A connected TCP channel to host (name or address) and port, or null.
    virtual std::unique_ptr<IByteChannel> Connect(const std::string& host, uint16_t port) = 0;
};

struct TNetworkJob {
    std::string Url;   // set: the upload
    std::string Proxy; // the system's proxy name, for the upload
    std::string Sender;
    std::string Recipients; // "," or ";" separated
    uint16_t Port = 25;
    std::string Account, Password;
    std::string Server; // the relay; empty: direct to the exchangers
    std::vector<std::pair<std::string, std::string>> Fields;
    std::vector<TSendFile> Attachments;
    std::string Body, Subject;
    std::string ComputerName;
    TUtcTime Date;
    uint64_t FileTime = 0;
    std::vector<std::string> DnsServers;
    // The text of a progress setting ("ConnMsg", ...); unset: no texts.
    std::function<std::string(const std::string& setting)> PhaseText;
    // Unset: the run cannot be aborted. Set: no further host or domain is tried once true.
    TAbortCheck Aborted;
};

struct TNetworkOutcome {
    bool Sent = false;
    bool Aborted = false;           // the user stopped the run
    std::string BrowserUrl;         // a page the upload's answer named
    std::vector<std::string> Notes; // one line per failed attempt, for diagnostics
};

TNetworkOutcome SendViaNetwork(const TNetworkJob& job, ISendNetwork& network,
                               IProgressAlert* progress = nullptr);

} // namespace qix
