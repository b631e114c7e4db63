// The network channel on Winsock: blocking sockets whose every wait is bounded by select,
// plus what the system says about DNS servers, the connection and the proxy.
#pragma once

#include "crashreport/delivery/qixExceptSend_Network.h"

#include <string>
#include <vector>

namespace qix {

inline constexpr int kReplyTimeoutMs = 7000; // one SMTP or HTTP reply
inline constexpr int kDnsTimeoutMs = 5000;   // one DNS datagram
inline constexpr size_t kSendPiece = 1024;   // commands and data leave in pieces this size

// WSAStartup 1.1 for the lifetime of the object; each channel run holds its own.
class TWinsockUse {
public:
    TWinsockUse();
    ~TWinsockUse();
    TWinsockUse(const TWinsockUse&) = delete;
    TWinsockUse& operator=(const TWinsockUse&) = delete;
    bool Ok() const { return ok_; }

private:
    bool ok_ = false;
};

class TWinsockNetwork : public ISendNetwork {
public:
    explicit TWinsockNetwork(int replyTimeoutMs = kReplyTimeoutMs, int dnsTimeoutMs = kDnsTimeoutMs)
        : replyTimeoutMs_(replyTimeoutMs), dnsTimeoutMs_(dnsTimeoutMs) {}
    std::string Exchange(const std::string& server, std::string_view query) override;
    std::unique_ptr<IByteChannel> Connect(const std::string& host, uint16_t port) override;
    // Every wait of this network and its channels ends early, as a failure, once it is true.
    void SetAbortCheck(TAbortCheck aborted) { aborted_ = std::move(aborted); }

private:
    int replyTimeoutMs_;
    int dnsTimeoutMs_;
    TAbortCheck aborted_;
};

// The system's DNS servers, the current one first; empty when none are known.
std::vector<std::string> GetDnsServers();
// InternetGetConnectedState; a system without it counts as offline.
bool IsOnline();
// The proxy wininet would use, as a plain name; empty for a direct connection.
std::string SystemProxy();

} // namespace qix
