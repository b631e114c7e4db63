// DNS over UDP for the mail exchanger lookup: the query packet and a reply parser that
// trusts nothing in the datagram.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qix {

inline constexpr uint16_t kDnsTypeNs = 2;
inline constexpr uint16_t kDnsTypeMx = 15;
inline constexpr uint16_t kDnsQueryId = 0x0001;
inline constexpr size_t kDnsMaxReply = 512; // a UDP reply without extensions

// Recursion desired, one question of class IN. Empty when the name cannot be encoded
// (empty or over-long labels, more than 253 characters, bytes a host name never has).
std::string BuildDnsQuery(std::string_view name, uint16_t type, uint16_t id = kDnsQueryId);

enum class TDnsStatus {
    Ok,
    Truncated,   // a record or name runs past the datagram
    Malformed,   // not a reply to our question, bad label, pointer loop, ...
    ServerError, // a non-zero RCODE
};

struct TDnsRecordName {
    std::string Name;
    uint16_t Preference = 0; // MX only
};

struct TDnsReply {
    TDnsStatus Status = TDnsStatus::Malformed;
    uint8_t RCode = 0;
    std::vector<TDnsRecordName> Answers;  // records of the asked type; MX by preference
    std::vector<std::string> Authorities; // NS names of the authority section
    bool NullMx = false;                  // an MX record naming "." (no mail accepted)
};

// Checks the reply against the query it answers (id, QR, question, type) and reads the
// answer records of the asked type (and, for NS, the authority NS records). Records of
// other types are skipped. Any fault rejects the whole reply: no names are returned.
TDnsReply ParseDnsReply(std::string_view reply, std::string_view query);

// The hosts to try for a domain: the exchangers by preference, or, when the domain has
// none, the domain itself (its own address record stands in); nothing for a null MX.
std::vector<std::string> MailHostsFor(std::string_view domain, const TDnsReply& mxReply);

// Direct delivery: one session per recipient domain, each to that domain's own mail
// hosts, so no report goes to an exchanger that was not named for its recipient.
struct TDomainRecipients {
    std::string Domain;     // as written in the first address, without a trailing dot
    std::string Recipients; // the addresses of that domain, "," separated
};
std::vector<TDomainRecipients> GroupRecipientsByDomain(std::string_view recipients);

// Two of the published root servers, for a lookup on a system without DNS servers.
inline constexpr std::string_view RootServerA = "a.root-servers.net";
inline constexpr std::string_view RootServerB = "k.root-servers.net";
// Referral rounds after the first one, at most.
inline constexpr int kMaxReferralRounds = 10;

// The network side of a lookup: sends one query to UDP port 53 of a server (an address
// or a host name) and returns the datagram that came back within the time-out, or
// nothing. The Windows side does this with a UDP socket and select.
struct IDnsExchange {
    virtual ~IDnsExchange() = default;
    virtual std::string Exchange(const std::string& server, std::string_view query) = 0;
};

// Asks the servers in turn; the first reply to our question that names anything wins.
// Without such a reply, the first well-formed one (it may be empty), else a failure.
TDnsReply QueryDns(IDnsExchange& exchange, std::string_view name,
                   const std::vector<std::string>& servers, uint16_t type);

// "The last three labels": everything after the third "." from the end.
std::string ShortDomain(std::string_view domain);

// The mail hosts for the domain of an address, best first. With DNS servers they are
// asked directly; without, the name servers of the short domain are found from the roots
// by following referrals. Empty when nothing answered or the domain takes no mail.
std::vector<std::string> LookupMailHosts(IDnsExchange& exchange, std::string_view address,
                                         const std::vector<std::string>& dnsServers);

} // namespace qix
