#include "crashreport/delivery/qixExceptSend_Dns.h"

#include "crashreport/delivery/qixExceptSend_Mime.h"

#include <algorithm>

namespace qix {

namespace {

constexpr size_t kHeaderSize = 12;
constexpr size_t kMaxNameText = 253;
constexpr size_t kMaxLabel = 63;
constexpr uint16_t kClassIn = 1;

// Host names go to the resolver and into SMTP commands; anything that is not
// printable ASCII without blanks and dots inside a label is refused.
bool IsLabelByte(unsigned char c) {
    return c > 0x20 && c < 0x7f && c != '.';
}

uint16_t Read16(std::string_view s, size_t at) {
    return uint16_t((uint8_t(s[at]) << 8) | uint8_t(s[at + 1]));
}

void Put16(std::string& out, uint16_t v) {
    out += char(v >> 8);
    out += char(v & 0xff);
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

class TReader {
public:
    explicit TReader(std::string_view data) : Data(data) {}
    TDnsStatus Fault = TDnsStatus::Ok;

    // Reads a possibly compressed name at `at`; `at` moves past its in-place part.
    // Pointers must point strictly backwards, which rules out loops.
    bool Name(size_t& at, std::string& out) {
        out.clear();
        size_t pos = at;
        bool jumped = false;
        size_t hops = 0;
        size_t limitBefore = pos; // a pointer must land before this
        while (true) {
            if (pos >= Data.size()) return Fail(TDnsStatus::Truncated);
            const uint8_t len = uint8_t(Data[pos]);
            if ((len & 0xc0) == 0xc0) {
                if (pos + 1 >= Data.size()) return Fail(TDnsStatus::Truncated);
                const size_t target = Read16(Data, pos) & 0x3fff;
                if (target >= limitBefore || ++hops > 127) return Fail(TDnsStatus::Malformed);
                if (!jumped) at = pos + 2;
                jumped = true;
                limitBefore = target;
                pos = target;
                continue;
            }
            if (len & 0xc0) return Fail(TDnsStatus::Malformed); // reserved label types
            if (len == 0) {
                if (!jumped) at = pos + 1;
                return true;
            }
            if (pos + 1 + len > Data.size()) return Fail(TDnsStatus::Truncated);
            if (!out.empty()) out += '.';
            for (size_t i = 0; i < len; ++i) {
                const unsigned char c = uint8_t(Data[pos + 1 + i]);
                if (!IsLabelByte(c)) return Fail(TDnsStatus::Malformed);
                out += char(c);
            }
            if (out.size() > kMaxNameText) return Fail(TDnsStatus::Malformed);
            pos += 1 + len;
        }
    }

    bool Need(size_t at, size_t count) {
        return at <= Data.size() && count <= Data.size() - at ? true : Fail(TDnsStatus::Truncated);
    }

private:
    std::string_view Data;
    bool Fail(TDnsStatus s) {
        Fault = s;
        return false;
    }
};

TDnsReply Reject(TDnsStatus status, uint8_t rcode = 0) {
    TDnsReply r;
    r.Status = status;
    r.RCode = rcode;
    return r;
}

} // namespace

std::string BuildDnsQuery(std::string_view name, uint16_t type, uint16_t id) {
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    if (name.empty() || name.size() > kMaxNameText) return {};
    std::string out;
    Put16(out, id);
    Put16(out, 0x0100);
    Put16(out, 1);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, 0);
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('.', start);
        if (end == std::string_view::npos) end = name.size();
        const size_t len = end - start;
        if (len == 0 || len > kMaxLabel) return {};
        out += char(len);
        for (size_t i = start; i < end; ++i) {
            if (!IsLabelByte(uint8_t(name[i]))) return {};
            out += name[i];
        }
        start = end + 1;
    }
    out += '\0';
    Put16(out, type);
    Put16(out, kClassIn);
    return out;
}

TDnsReply ParseDnsReply(std::string_view reply, std::string_view query) {
    if (query.size() < kHeaderSize + 5 || reply.size() < kHeaderSize)
        return Reject(reply.size() < kHeaderSize ? TDnsStatus::Truncated : TDnsStatus::Malformed);
    const uint16_t flags = Read16(reply, 2);
    if (Read16(reply, 0) != Read16(query, 0) || !(flags & 0x8000) || ((flags >> 11) & 15) != 0)
        return Reject(TDnsStatus::Malformed);
    if (const uint8_t rcode = flags & 15) return Reject(TDnsStatus::ServerError, rcode);
    if (Read16(reply, 4) != 1) return Reject(TDnsStatus::Malformed);
    const uint16_t answers = Read16(reply, 6);
    const uint16_t authorities = Read16(reply, 8);

    TReader qr(query), rr(reply);
    size_t qAt = kHeaderSize, rAt = kHeaderSize;
    std::string asked, echoed;
    if (!qr.Name(qAt, asked) || !qr.Need(qAt, 4)) return Reject(TDnsStatus::Malformed);
    const uint16_t type = Read16(query, qAt);
    if (!rr.Name(rAt, echoed)) return Reject(rr.Fault);
    if (!rr.Need(rAt, 4)) return Reject(rr.Fault);
    if (!EqualNoCase(asked, echoed) || Read16(reply, rAt) != type ||
        Read16(reply, rAt + 2) != kClassIn)
        return Reject(TDnsStatus::Malformed);
    rAt += 4;

    TDnsReply out;
    const size_t records = size_t(answers) + (type == kDnsTypeNs ? authorities : 0);
    for (size_t i = 0; i < records; ++i) {
        std::string owner, target;
        if (!rr.Name(rAt, owner) || !rr.Need(rAt, 10)) return Reject(rr.Fault);
        const uint16_t rtype = Read16(reply, rAt), rclass = Read16(reply, rAt + 2);
        const size_t rdLength = Read16(reply, rAt + 8);
        const size_t rdStart = rAt + 10;
        if (!rr.Need(rdStart, rdLength)) return Reject(rr.Fault);
        rAt = rdStart + rdLength;
        if (rclass != kClassIn) continue;
        const bool answer = i < answers;
        if (answer ? rtype != type : rtype != kDnsTypeNs) continue;
        size_t at = rdStart;
        uint16_t preference = 0;
        if (answer && type == kDnsTypeMx) {
            if (rdLength < 3) return Reject(TDnsStatus::Malformed);
            preference = Read16(reply, at);
            at += 2;
        }
        // The name must end inside its own RDATA (pointers may lead elsewhere).
        if (!TReader(reply.substr(0, rdStart + rdLength)).Name(at, target) ||
            at != rdStart + rdLength)
            return Reject(TDnsStatus::Malformed);
        if (target.empty()) {
            // "." as exchanger: the domain takes no mail at all.
            out.NullMx = out.NullMx || (answer && type == kDnsTypeMx);
            continue;
        }
        if (answer)
            out.Answers.push_back({target, preference});
        else
            out.Authorities.push_back(target);
    }
    std::stable_sort(out.Answers.begin(), out.Answers.end(),
                     [](const TDnsRecordName& a, const TDnsRecordName& b) {
                         return a.Preference < b.Preference;
                     });
    out.Status = TDnsStatus::Ok;
    return out;
}

std::vector<std::string> MailHostsFor(std::string_view domain, const TDnsReply& mxReply) {
    std::vector<std::string> hosts;
    if (mxReply.Status == TDnsStatus::Ok)
        for (const TDnsRecordName& r : mxReply.Answers)
            if (std::find(hosts.begin(), hosts.end(), r.Name) == hosts.end())
                hosts.push_back(r.Name);
    if (hosts.empty() && !domain.empty() && !mxReply.NullMx) hosts.emplace_back(domain);
    return hosts;
}

std::vector<TDomainRecipients> GroupRecipientsByDomain(std::string_view recipients) {
    std::vector<TDomainRecipients> groups;
    for (const std::string& address : SplitRecipients(recipients)) {
        const std::string domain = AddressDomain(address);
        if (domain.empty()) continue; // nowhere to look it up
        auto group = std::find_if(groups.begin(), groups.end(), [&](const TDomainRecipients& g) {
            return EqualNoCase(g.Domain, domain);
        });
        if (group == groups.end())
            groups.push_back({domain, address});
        else
            group->Recipients += "," + address;
    }
    return groups;
}

} // namespace qix
