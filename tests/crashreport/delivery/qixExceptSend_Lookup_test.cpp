// The exchanger lookup against a fake DNS: which servers are asked for what, in which
// order, and which hosts come out.
#include "crashreport/delivery/qixExceptSend_Dns.h"

#include <gtest/gtest.h>

#include <map>
#include <tuple>

namespace qix {
namespace {

std::string Name(std::string_view dotted) {
    std::string out;
    size_t start = 0;
    while (start < dotted.size()) {
        size_t end = dotted.find('.', start);
        if (end == std::string_view::npos) end = dotted.size();
        out += char(end - start);
        out += dotted.substr(start, end - start);
        start = end + 1;
    }
    return out + '\0';
}

std::string U16(int v) {
    return {char(v >> 8), char(v & 0xff)};
}

struct TZoneData {
    std::vector<std::pair<std::string, int>> Mx; // host, preference
    std::vector<std::string> Ns, Referral;
};

// Answers from a table keyed by server, name and type; unknown questions stay silent.
class TFakeDns : public IDnsExchange {
public:
    std::map<std::tuple<std::string, std::string, int>, TZoneData> Zones;
    std::vector<std::string> Asked; // "server name type"

    std::string Exchange(const std::string& server, std::string_view query) override {
        // The question name starts at 12 and is uncompressed in a query.
        std::string name;
        size_t at = 12;
        while (at < query.size() && query[at]) {
            if (!name.empty()) name += '.';
            name += query.substr(at + 1, size_t(query[at]));
            at += 1 + size_t(query[at]);
        }
        const int type = (uint8_t(query[at + 1]) << 8) | uint8_t(query[at + 2]);
        Asked.push_back(server + " " + name + " " + std::to_string(type));
        const auto found = Zones.find({server, name, type});
        if (found == Zones.end()) return {};
        const TZoneData& z = found->second;
        std::string reply(query);
        reply[2] = char(0x81);
        reply[3] = char(0x80);
        reply.replace(6, 4, U16(int(z.Mx.size() + z.Ns.size())) + U16(int(z.Referral.size())));
        const auto record = [&](int rtype, const std::string& rdata) {
            reply += Name(name) + U16(rtype) + U16(1) + std::string(4, '\0') +
                     U16(int(rdata.size())) + rdata;
        };
        for (const auto& [host, pref] : z.Mx)
            record(15, U16(pref) + Name(host));
        for (const std::string& ns : z.Ns)
            record(2, Name(ns));
        for (const std::string& ns : z.Referral)
            record(2, Name(ns));
        return reply;
    }
};

TEST(MailLookup, ConfiguredServersInTurn) {
    TFakeDns dns;
    dns.Zones[{"10.0.0.2", "example.org", 15}] = {
        {{"mx2.example.org", 20}, {"mx1.example.org", 10}}, {}, {}};
    const auto hosts = LookupMailHosts(dns, "Dev <dev@example.org>", {"10.0.0.1", "10.0.0.2"});
    EXPECT_EQ(hosts, (std::vector<std::string>{"mx1.example.org", "mx2.example.org"}));
    EXPECT_EQ(dns.Asked,
              (std::vector<std::string>{"10.0.0.1 example.org 15", "10.0.0.2 example.org 15"}));
}

TEST(MailLookup, DomainWithoutExchangersReceivesItself) {
    TFakeDns dns;
    dns.Zones[{"10.0.0.1", "mail.sub.example.co.uk", 15}] = {};
    EXPECT_EQ(LookupMailHosts(dns, "a@mail.sub.example.co.uk", {"10.0.0.1"}),
              std::vector<std::string>{"mail.sub.example.co.uk"});
    // Never the parent domain's exchangers.
    EXPECT_EQ(dns.Asked, std::vector<std::string>{"10.0.0.1 mail.sub.example.co.uk 15"});
    // Nobody answering is no answer at all.
    TFakeDns silent;
    EXPECT_TRUE(LookupMailHosts(silent, "a@example.org", {"10.0.0.1"}).empty());
    EXPECT_TRUE(LookupMailHosts(silent, "no-domain", {"10.0.0.1"}).empty());
    EXPECT_EQ(silent.Asked.size(), 1u); // an address without domain asks nobody
}

TEST(MailLookup, FromTheRootsByReferral) {
    TFakeDns dns;
    const std::string rootA(RootServerA), rootB(RootServerB);
    dns.Zones[{rootB, "example.co.uk", 2}] = {{}, {}, {"ns.uk-registry.net"}};
    dns.Zones[{"ns.uk-registry.net", "example.co.uk", 2}] = {{}, {}, {"ns1.example.co.uk"}};
    dns.Zones[{"ns1.example.co.uk", "example.co.uk", 2}] = {{}, {"ns1.example.co.uk"}, {}};
    dns.Zones[{"ns1.example.co.uk", "mail.example.co.uk", 15}] = {
        {{"mx.example.co.uk", 5}}, {}, {}};
    EXPECT_EQ(LookupMailHosts(dns, "dev@mail.example.co.uk", {}),
              std::vector<std::string>{"mx.example.co.uk"});
    EXPECT_EQ(dns.Asked,
              (std::vector<std::string>{rootA + " example.co.uk 2", rootB + " example.co.uk 2",
                                        "ns.uk-registry.net example.co.uk 2",
                                        "ns1.example.co.uk example.co.uk 2",
                                        "ns1.example.co.uk mail.example.co.uk 15"}));
}

TEST(MailLookup, RootsWithoutReferralAndEndlessReferrals) {
    TFakeDns quiet;
    EXPECT_TRUE(LookupMailHosts(quiet, "dev@example.org", {}).empty());
    EXPECT_EQ(quiet.Asked.size(), 2u); // both roots, then nothing to ask
    // Each server refers to the next one, without end: the walk stops after ten more rounds
    // and asks the last referral for the exchangers.
    TFakeDns endless;
    endless.Zones[{std::string(RootServerA), "example.org", 2}] = {{}, {}, {"ns0.example"}};
    for (int i = 0; i < 100; ++i)
        endless.Zones[{"ns" + std::to_string(i) + ".example", "example.org", 2}] = {
            {}, {}, {"ns" + std::to_string(i + 1) + ".example"}};
    EXPECT_TRUE(LookupMailHosts(endless, "dev@example.org", {}).empty());
    ASSERT_EQ(endless.Asked.size(), 1u + 10u + 1u);
    EXPECT_EQ(endless.Asked.back(), "ns10.example example.org 15");
}

TEST(MailLookup, ShortDomainIsTheLastThreeLabels) {
    EXPECT_EQ(ShortDomain("a.b.example.co.uk"), "example.co.uk");
    EXPECT_EQ(ShortDomain("example.co.uk"), "example.co.uk");
    EXPECT_EQ(ShortDomain("example.org"), "example.org");
}

} // namespace
} // namespace qix
