// The mail exchanger lookup over an abstract datagram exchange.
#include "crashreport/delivery/qixExceptSend_Dns.h"

#include "crashreport/delivery/qixExceptSend_Mime.h"

namespace qix {

namespace {

bool NamesAnything(const TDnsReply& r) {
    return r.Status == TDnsStatus::Ok && (!r.Answers.empty() || !r.Authorities.empty() || r.NullMx);
}

std::vector<std::string> AnswerNames(const TDnsReply& r) {
    std::vector<std::string> names;
    for (const TDnsRecordName& a : r.Answers)
        names.push_back(a.Name);
    return names;
}

// Name servers of the zone, found by following referrals down from the roots.
std::vector<std::string> ZoneServers(IDnsExchange& exchange, std::string_view zone) {
    std::vector<std::string> servers = {std::string(RootServerA), std::string(RootServerB)};
    std::vector<std::string> lastReferral;
    for (int round = 0; round <= kMaxReferralRounds; ++round) {
        const TDnsReply r = QueryDns(exchange, zone, servers, kDnsTypeNs);
        if (r.Status != TDnsStatus::Ok) break;
        if (!r.Answers.empty()) return AnswerNames(r);
        if (r.Authorities.empty() || r.Authorities == servers)
            break; // no further referral, or one that leads back to itself
        lastReferral = servers = r.Authorities;
    }
    return lastReferral;
}

} // namespace

TDnsReply QueryDns(IDnsExchange& exchange, std::string_view name,
                   const std::vector<std::string>& servers, uint16_t type) {
    TDnsReply fallback;
    fallback.Status = TDnsStatus::Malformed;
    const std::string query = BuildDnsQuery(name, type);
    if (query.empty()) return fallback;
    bool haveEmpty = false;
    for (const std::string& server : servers) {
        const std::string reply = exchange.Exchange(server, query);
        if (reply.empty()) continue;
        TDnsReply r = ParseDnsReply(reply, query);
        if (NamesAnything(r)) return r;
        if (r.Status == TDnsStatus::Ok && !haveEmpty) {
            fallback = std::move(r);
            haveEmpty = true;
        }
    }
    return fallback;
}

std::string ShortDomain(std::string_view domain) {
    size_t dots = 0;
    for (size_t i = domain.size(); i-- > 0;)
        if (domain[i] == '.' && ++dots == 3) return std::string(domain.substr(i + 1));
    return std::string(domain);
}

std::vector<std::string> LookupMailHosts(IDnsExchange& exchange, std::string_view address,
                                         const std::vector<std::string>& dnsServers) {
    const std::string domain = AddressDomain(address);
    if (domain.empty()) return {};
    std::vector<std::string> servers = dnsServers;
    if (servers.empty()) servers = ZoneServers(exchange, ShortDomain(domain));
    // A parent domain's exchangers are not this domain's: without MX records the domain
    // itself is the mail host, as mail routing has it.
    const TDnsReply mx = QueryDns(exchange, domain, servers, kDnsTypeMx);
    if (mx.Status != TDnsStatus::Ok) return {};
    return MailHostsFor(domain, mx);
}

} // namespace qix
