// The exchanger lookup against a fake DNS: which servers are asked for what, in which
// order, and which hosts come out.
#include "crashreport/delivery/qixExceptSend_Dns.h"

#include "qixFakeDns.h"

#include <gtest/gtest.h>

namespace qix {
namespace {

using test::TFakeDns;

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
