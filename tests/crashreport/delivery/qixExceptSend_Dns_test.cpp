// DNS packets: queries compared with the ones dnslib makes, replies made by dnslib and
// by hand, including compression loops, truncation and answers to other questions.
#include "crashreport/delivery/qixExceptSend_Dns.h"

#include "qixSendTestUtil.h"

#include <gtest/gtest.h>

namespace qix {
namespace {

using test::RunTool;

std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::string Oracle(const std::string& args) {
    std::string hex = RunTool("/usr/bin/python3 " QIX_DNSORACLE " " + args);
    while (!hex.empty() && (hex.back() == '\n' || hex.back() == '\r'))
        hex.pop_back();
    EXPECT_FALSE(hex.empty()) << "dnslib made no packet for " << args;
    return FromHex(hex);
}

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values)
        out += char(v);
    return out;
}

// Header of a reply to `query` with the given counts, then the question copied.
std::string ReplyStart(const std::string& query, int answers, int flagsLow = 0x80,
                       int authorities = 0) {
    std::string r = query;
    r[2] = char(0x81);
    r[3] = char(flagsLow);
    r[6] = char(answers >> 8);
    r[7] = char(answers & 0xff);
    r[8] = char(authorities >> 8);
    r[9] = char(authorities & 0xff);
    return r;
}

// Owner = pointer to the question name (offset 12), type, class IN, ttl, rdata.
std::string Record(int type, const std::string& rdata) {
    return Bytes({0xc0, 12, 0, type, 0, 1, 0, 0, 1, 0, int(rdata.size() >> 8),
                  int(rdata.size() & 0xff)}) +
           rdata;
}

TEST(DnsQuery, SameBytesAsDnslib) {
    EXPECT_EQ(BuildDnsQuery("example.org", kDnsTypeMx), Oracle("query example.org MX"));
    EXPECT_EQ(BuildDnsQuery("Mail.Sub.Example.co.uk", kDnsTypeNs),
              Oracle("query Mail.Sub.Example.co.uk NS"));
    EXPECT_EQ(BuildDnsQuery("example.org.", kDnsTypeMx), Oracle("query example.org MX"));
    const std::string label63(63, 'a');
    EXPECT_EQ(BuildDnsQuery(label63 + ".org", kDnsTypeMx), Oracle("query " + label63 + ".org MX"));
}

TEST(DnsQuery, HandWorkedLayout) {
    const std::string q = BuildDnsQuery("example.org", kDnsTypeMx);
    // 12 + (length of the name + 2) + 4
    ASSERT_EQ(q.size(), 29u);
    EXPECT_EQ(q, Bytes({0, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 7}) + "example" + Bytes({3}) + "org" +
                     Bytes({0, 0, 15, 0, 1}));
}

TEST(DnsQuery, NamesThatCannotBeAskedGiveNoPacket) {
    for (const char* bad : {"", ".", "a..b", ".a", "a b.org", "a\nb.org"})
        EXPECT_EQ(BuildDnsQuery(bad, kDnsTypeMx), "") << bad;
    EXPECT_EQ(BuildDnsQuery(std::string(64, 'a') + ".org", kDnsTypeMx), "");
    std::string longName;
    while (longName.size() < 254)
        longName += "abcdefghi.";
    EXPECT_EQ(BuildDnsQuery(longName, kDnsTypeMx), "");
}

TEST(DnsReply, DnslibMxAnswerInPreferenceOrder) {
    const std::string query = BuildDnsQuery("example.org", kDnsTypeMx);
    const std::string reply =
        Oracle("mx example.org mx3.example.org:30 mx1.example.org:10 backup.other.net:20");
    const TDnsReply r = ParseDnsReply(reply, query);
    ASSERT_EQ(r.Status, TDnsStatus::Ok);
    ASSERT_EQ(r.Answers.size(), 3u); // the CNAME dnslib adds first is passed over
    EXPECT_EQ(r.Answers[0].Name, "mx1.example.org");
    EXPECT_EQ(r.Answers[0].Preference, 10);
    EXPECT_EQ(r.Answers[1].Name, "backup.other.net");
    EXPECT_EQ(r.Answers[2].Name, "mx3.example.org");
    EXPECT_EQ(MailHostsFor("example.org", r),
              (std::vector<std::string>{"mx1.example.org", "backup.other.net", "mx3.example.org"}));

    // Every shorter datagram is rejected as a whole, never read past its end.
    for (size_t cut = 0; cut < reply.size(); ++cut) {
        const std::string part = reply.substr(0, cut);
        const TDnsReply t = ParseDnsReply(part, query);
        EXPECT_NE(t.Status, TDnsStatus::Ok) << "cut at " << cut;
        EXPECT_TRUE(t.Answers.empty());
    }
}

TEST(DnsReply, DnslibNsAnswerAndReferral) {
    const std::string query = BuildDnsQuery("example.org", kDnsTypeNs);
    const TDnsReply r = ParseDnsReply(
        Oracle("ns example.org a.iana-servers.net b.iana-servers.net -- ns1.referral.org"), query);
    ASSERT_EQ(r.Status, TDnsStatus::Ok);
    ASSERT_EQ(r.Answers.size(), 2u);
    EXPECT_EQ(r.Answers[0].Name, "a.iana-servers.net");
    EXPECT_EQ(r.Answers[1].Name, "b.iana-servers.net");
    EXPECT_EQ(r.Authorities, std::vector<std::string>{"ns1.referral.org"});
}

TEST(DnsReply, HandMadeCompressionChains) {
    const std::string query = BuildDnsQuery("example.org", kDnsTypeMx);
    // MX 10 "mail" + pointer to the question name; MX 5 "relay" + pointer into the first
    // record's "mail.example.org" (offset 29 + 12 + 2 = 43).
    std::string reply = ReplyStart(query, 2);
    reply += Record(15, Bytes({0, 10, 4}) + "mail" + Bytes({0xc0, 12}));
    reply += Record(15, Bytes({0, 5, 5}) + "relay" + Bytes({0xc0, 43}));
    const TDnsReply r = ParseDnsReply(reply, query);
    ASSERT_EQ(r.Status, TDnsStatus::Ok);
    ASSERT_EQ(r.Answers.size(), 2u);
    EXPECT_EQ(r.Answers[0].Name, "relay.mail.example.org");
    EXPECT_EQ(r.Answers[1].Name, "mail.example.org");
}

TEST(DnsReply, LoopsAndForwardPointersAreRejected) {
    const std::string query = BuildDnsQuery("example.org", kDnsTypeMx);
    const size_t rdata = query.size() + 12;
    // A pointer to itself.
    std::string self = ReplyStart(query, 1);
    self += Record(15, Bytes({0, 10, 0xc0, int(rdata + 2)}));
    EXPECT_EQ(ParseDnsReply(self, query).Status, TDnsStatus::Malformed);
    // Two names pointing at each other: "a" -> the second, "b" -> the first.
    std::string mutual = ReplyStart(query, 2);
    mutual += Record(15, Bytes({0, 10, 1, 'a', 0xc0, int(rdata + 12 + 6 + 2)}));
    mutual += Record(15, Bytes({0, 10, 1, 'b', 0xc0, int(rdata + 2)}));
    EXPECT_EQ(ParseDnsReply(mutual, query).Status, TDnsStatus::Malformed);
    // A pointer into the header.
    std::string header = ReplyStart(query, 1);
    header += Record(15, Bytes({0, 10, 0xc0, 2}));
    EXPECT_NE(ParseDnsReply(header, query).Status, TDnsStatus::Ok);
}

TEST(DnsReply, RecordsThatDoNotFitAreRejected) {
    const std::string query = BuildDnsQuery("example.org", kDnsTypeMx);
    // More answers announced than present.
    std::string missing = ReplyStart(query, 2);
    missing += Record(15, Bytes({0, 10, 4}) + "mail" + Bytes({0xc0, 12}));
    EXPECT_EQ(ParseDnsReply(missing, query).Status, TDnsStatus::Truncated);
    // RDLENGTH beyond the datagram.
    std::string longRdata = ReplyStart(query, 1);
    longRdata += Record(15, Bytes({0, 10, 4}) + "mail" + Bytes({0xc0, 12}));
    longRdata[longRdata.size() - 10] = char(40);
    EXPECT_EQ(ParseDnsReply(longRdata, query).Status, TDnsStatus::Truncated);
    // A name that runs on past its RDATA.
    std::string overrun = ReplyStart(query, 1);
    overrun += Record(15, Bytes({0, 10, 4}) + "mail" + Bytes({0xc0, 12}));
    overrun[overrun.size() - 10] = char(5);
    overrun += Bytes({0, 0});
    EXPECT_NE(ParseDnsReply(overrun, query).Status, TDnsStatus::Ok);
    // Reserved label type 01xxxxxx, and a label with a dot or a control byte in it.
    for (const std::string& rdata :
         {Bytes({0, 10, 0x41, 'x', 0}), Bytes({0, 10, 3, 'a', '.', 'b', 0}),
          Bytes({0, 10, 2, 'a', 10, 0})}) {
        std::string bad = ReplyStart(query, 1);
        bad += Record(15, rdata);
        EXPECT_EQ(ParseDnsReply(bad, query).Status, TDnsStatus::Malformed);
    }
    // A name longer than 253 characters made of repeated pointers to a 60-byte label.
    std::string longName = ReplyStart(query, 1);
    std::string rdata = Bytes({0, 10});
    rdata += Bytes({60}) + std::string(60, 'x') + Bytes({0});
    longName += Record(15, rdata);
    EXPECT_EQ(ParseDnsReply(longName, query).Status, TDnsStatus::Ok);
    std::string chain = ReplyStart(query, 1);
    std::string chainData = Bytes({0, 10});
    for (int i = 0; i < 5; ++i)
        chainData += Bytes({60}) + std::string(60, 'x');
    chainData += Bytes({0});
    chain += Record(15, chainData);
    EXPECT_EQ(ParseDnsReply(chain, query).Status, TDnsStatus::Malformed);
}

TEST(DnsReply, OnlyTheAnswerToOurQuestionCounts) {
    const std::string query = BuildDnsQuery("example.org", kDnsTypeMx);
    const std::string good =
        ReplyStart(query, 1) + Record(15, Bytes({0, 10, 4}) + "mail" + Bytes({0xc0, 12}));
    ASSERT_EQ(ParseDnsReply(good, query).Status, TDnsStatus::Ok);
    std::string otherId = good;
    otherId[1] = 2;
    EXPECT_EQ(ParseDnsReply(otherId, query).Status, TDnsStatus::Malformed);
    std::string notReply = good;
    notReply[2] = 1;
    EXPECT_EQ(ParseDnsReply(notReply, query).Status, TDnsStatus::Malformed);
    std::string otherName = good;
    otherName[13] = 'E'; // "Example" matches ignoring case ...
    EXPECT_EQ(ParseDnsReply(otherName, query).Status, TDnsStatus::Ok);
    otherName[14] = 'y'; // ... "Eyample" does not
    EXPECT_EQ(ParseDnsReply(otherName, query).Status, TDnsStatus::Malformed);
    std::string otherType = good;
    otherType[query.size() - 3] = 2;
    EXPECT_EQ(ParseDnsReply(otherType, query).Status, TDnsStatus::Malformed);
    std::string noQuestion = good;
    noQuestion[5] = 0;
    EXPECT_EQ(ParseDnsReply(noQuestion, query).Status, TDnsStatus::Malformed);
    const TDnsReply nx = ParseDnsReply(ReplyStart(query, 0, 0x83), query);
    EXPECT_EQ(nx.Status, TDnsStatus::ServerError);
    EXPECT_EQ(nx.RCode, 3);
}

TEST(DnsReply, MailHostsWithoutExchangers) {
    const std::string query = BuildDnsQuery("example.org", kDnsTypeMx);
    // No MX record: the domain itself receives the mail.
    const TDnsReply none = ParseDnsReply(ReplyStart(query, 0), query);
    ASSERT_EQ(none.Status, TDnsStatus::Ok);
    EXPECT_EQ(MailHostsFor("example.org", none), std::vector<std::string>{"example.org"});
    // A null MX (preference 0, name ".") says the domain takes no mail.
    const TDnsReply nullMx =
        ParseDnsReply(ReplyStart(query, 1) + Record(15, Bytes({0, 0, 0})), query);
    ASSERT_EQ(nullMx.Status, TDnsStatus::Ok);
    EXPECT_TRUE(nullMx.NullMx);
    EXPECT_TRUE(MailHostsFor("example.org", nullMx).empty());
}

TEST(DirectDelivery, EachDomainItsOwnSession) {
    const auto groups =
        GroupRecipientsByDomain("a@one.org; Bee <b@two.net>, c@ONE.org , nobody, d@two.net.");
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].Domain, "one.org");
    EXPECT_EQ(groups[0].Recipients, "a@one.org,c@ONE.org");
    EXPECT_EQ(groups[1].Domain, "two.net");
    EXPECT_EQ(groups[1].Recipients, "Bee <b@two.net>,d@two.net.");
    EXPECT_TRUE(GroupRecipientsByDomain(" ; ").empty());
}

} // namespace
} // namespace qix
