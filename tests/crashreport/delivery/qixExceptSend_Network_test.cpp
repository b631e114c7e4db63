// A whole network run against fake DNS and scripted servers: which hosts are contacted
// for which recipients, what they are sent, and how the progress phases add up.
#include "crashreport/delivery/qixExceptSend_Network.h"

#include "crashreport/delivery/qixExceptSend_Http.h"

#include "qixFakeDns.h"
#include "qixSendTestUtil.h"

#include <gtest/gtest.h>

#include <map>

namespace qix {
namespace {

using test::TScriptedChannel;

// Forwards to a scripted channel the network keeps, so its transcript outlives the run.
class TForward : public IByteChannel {
public:
    explicit TForward(TScriptedChannel& target) : Target(target) {}
    bool Send(std::string_view bytes) override { return Target.Send(bytes); }
    TReceiveStatus Receive(std::string& into, size_t maxBytes) override {
        return Target.Receive(into, maxBytes);
    }

private:
    TScriptedChannel& Target;
};

class TFakeNetwork : public ISendNetwork {
public:
    test::TFakeDns Dns;
    std::map<std::string, TScriptedChannel> Servers; // "host:port"; others refuse
    std::vector<std::string> Connects;

    std::string Exchange(const std::string& server, std::string_view query) override {
        return Dns.Exchange(server, query);
    }
    std::unique_ptr<IByteChannel> Connect(const std::string& host, uint16_t port) override {
        const std::string key = host + ":" + std::to_string(port);
        Connects.push_back(key);
        const auto found = Servers.find(key);
        if (found == Servers.end()) return nullptr;
        return std::make_unique<TForward>(found->second);
    }
    void Smtp(const std::string& key, std::initializer_list<const char*> replies) {
        for (const char* r : replies)
            Servers[key].Pieces.emplace_back(r);
    }
};

const std::initializer_list<const char*> kAccepting = {"220 r\r\n",  "250 h\r\n",  "250 ok\r\n",
                                                       "250 ok\r\n", "250 ok\r\n", "354 go\r\n",
                                                       "250 ok\r\n", "221 b\r\n"};

class NetworkRun : public ::testing::Test {
protected:
    TFakeNetwork Net;
    TNetworkJob Job;
    test::TCountingProgress Progress;
    NetworkRun() {
        Job.ComputerName = "PC";
        Job.Sender = "qixExcept <crash@x.org>";
        Job.Subject = "bug report";
        Job.Body = "see attachment";
        Job.DnsServers = {"10.0.0.53"};
    }
};

TEST_F(NetworkRun, DirectMailGoesToEachDomainsOwnExchanger) {
    Job.Recipients = "a@one.org; b@two.net, c@one.org";
    Net.Dns.Zones[{"10.0.0.53", "one.org", 15}] = {{{"mx.one.org", 10}}, {}, {}};
    Net.Dns.Zones[{"10.0.0.53", "two.net", 15}] = {
        {{"down.two.net", 5}, {"mx.two.net", 10}}, {}, {}};
    Net.Smtp("mx.one.org:25", kAccepting);
    Net.Smtp("mx.two.net:25", {"220 r\r\n", "250 h\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n",
                               "250 ok\r\n", "221 b\r\n"});
    const TNetworkOutcome out = SendViaNetwork(Job, Net, &Progress);
    EXPECT_TRUE(out.Sent);
    EXPECT_EQ(Net.Connects,
              (std::vector<std::string>{"mx.one.org:25", "down.two.net:25", "mx.two.net:25"}));
    const std::string& one = Net.Servers["mx.one.org:25"].Sent;
    EXPECT_NE(one.find("RCPT TO:<a@one.org>\r\nRCPT TO:<c@one.org>\r\nDATA\r\n"),
              std::string::npos);
    EXPECT_EQ(one.find("b@two.net>\r\n"), std::string::npos);
    const std::string& two = Net.Servers["mx.two.net:25"].Sent;
    EXPECT_NE(two.find("MAIL FROM:<crash@x.org>\r\nRCPT TO:<b@two.net>\r\nDATA\r\n"),
              std::string::npos);
    // Every recipient in the header of both copies.
    EXPECT_NE(two.find("To: <a@one.org>, <b@two.net>, <c@one.org>\r\n"), std::string::npos);
    EXPECT_EQ(out.Notes, std::vector<std::string>{"down.two.net: no connection"});
}

TEST_F(NetworkRun, ExchangerThatRefusesOrIsMissing) {
    Job.Recipients = "a@one.org, b@none.org";
    Net.Dns.Zones[{"10.0.0.53", "one.org", 15}] = {
        {{"mx1.one.org", 10}, {"mx2.one.org", 20}}, {}, {}};
    // A definite refusal is not retried at the next exchanger.
    Net.Smtp("mx1.one.org:25", {"220 r\r\n", "250 h\r\n", "550 no relay\r\n", "221 b\r\n"});
    Net.Smtp("mx2.one.org:25", kAccepting);
    const TNetworkOutcome out = SendViaNetwork(Job, Net);
    EXPECT_FALSE(out.Sent);
    EXPECT_EQ(Net.Connects, std::vector<std::string>{"mx1.one.org:25"});
    EXPECT_EQ(out.Notes,
              (std::vector<std::string>{"mx1.one.org: the mail server refused the sender",
                                        "none.org: no mail host"}));
}

TEST_F(NetworkRun, RelayGetsEverythingAndDnsIsNotAsked) {
    Job.Recipients = "a@one.org; b@two.net";
    Job.Server = "relay.lan";
    Job.Port = 587;
    Job.Account = "user";
    Job.Password = "secret";
    Net.Smtp("relay.lan:587",
             {"220 r\r\n", "250 AUTH LOGIN\r\n", "334 u\r\n", "334 p\r\n", "235 ok\r\n",
              "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n", "250 ok\r\n", "221 b\r\n"});
    const TNetworkOutcome out = SendViaNetwork(Job, Net, &Progress);
    EXPECT_TRUE(out.Sent);
    EXPECT_TRUE(Net.Dns.Asked.empty());
    EXPECT_NE(Net.Servers["relay.lan:587"].Sent.find("RCPT TO:<a@one.org>\r\nRCPT TO:<b@two.net>"),
              std::string::npos);
    // Preparation, then the session's twelve phases: all passed when it is over.
    EXPECT_EQ(Progress.Done, 1 + 2 + 8);
}

const std::initializer_list<const char*> kAcceptingOne = {
    "220 r\r\n", "250 h\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n", "250 ok\r\n", "221 b\r\n"};

// An abort seen after the first exchanger failed: neither the second exchanger nor the
// next domain is tried, and the run says it was stopped rather than failed.
TEST_F(NetworkRun, AbortStopsBeforeTheNextHostAndDomain) {
    Job.Recipients = "a@one.org, b@two.net";
    Net.Dns.Zones[{"10.0.0.53", "one.org", 15}] = {
        {{"mx1.one.org", 10}, {"mx2.one.org", 20}}, {}, {}};
    Net.Dns.Zones[{"10.0.0.53", "two.net", 15}] = {{{"mx.two.net", 10}}, {}, {}};
    Net.Smtp("mx2.one.org:25", kAcceptingOne);
    Net.Smtp("mx.two.net:25", kAcceptingOne);
    Job.Aborted = [this] { return !Net.Connects.empty(); };
    const TNetworkOutcome out = SendViaNetwork(Job, Net, &Progress);
    EXPECT_FALSE(out.Sent);
    EXPECT_TRUE(out.Aborted);
    EXPECT_EQ(Net.Connects, std::vector<std::string>{"mx1.one.org:25"});
    EXPECT_EQ(Net.Dns.Asked.size(), 1u) << "the second domain is not even looked up";

    // The same run without the abort reaches both.
    TFakeNetwork again;
    again.Dns = Net.Dns;
    again.Dns.Asked.clear();
    again.Smtp("mx2.one.org:25", kAcceptingOne);
    again.Smtp("mx.two.net:25", kAcceptingOne);
    Job.Aborted = [] { return false; };
    const TNetworkOutcome whole = SendViaNetwork(Job, again);
    EXPECT_TRUE(whole.Sent) << testing::PrintToString(whole.Notes);
    EXPECT_FALSE(whole.Aborted);
    EXPECT_EQ(again.Connects.size(), 3u);
}

TEST_F(NetworkRun, AbortBeforeTheUploadConnectsNothing) {
    Job.Url = "http://upload.lan/report.php";
    Job.Port = 80;
    Job.Aborted = [] { return true; };
    const TNetworkOutcome out = SendViaNetwork(Job, Net, &Progress);
    EXPECT_FALSE(out.Sent);
    EXPECT_TRUE(out.Aborted);
    EXPECT_TRUE(Net.Connects.empty());
}

TEST_F(NetworkRun, UploadWithRedirect) {
    test::TTempDir dir;
    Job.Url = "http://bugs.example.org/submit";
    Job.Port = 8080;
    Job.Fields = {{"MailFrom", "crash@x.org"}};
    Job.Attachments = {{dir.File("r.txt", "report"), "BugReport", "bugreport.txt"}};
    Net.Servers["bugs.example.org:8080"].Pieces = {
        "HTTP/1.1 302 Found\r\nLocation: http://bugs.example.org/thanks\r\n\r\n"};
    const TNetworkOutcome out = SendViaNetwork(Job, Net, &Progress);
    EXPECT_TRUE(out.Sent);
    EXPECT_EQ(out.BrowserUrl, "http://bugs.example.org/thanks");
    TUploadRequest request;
    request.Target = ParseUploadUrl(Job.Url, 8080);
    request.Sender = Job.Sender;
    request.Fields = Job.Fields;
    request.Files = {{Job.Attachments[0].File, "BugReport", "bugreport.txt", 0}};
    PlanUploadFiles(request.Files);
    EXPECT_EQ(Net.Servers["bugs.example.org:8080"].Sent, BuildUpload(request));
    // Preparation, connection (two), fields, file, closing line, answer.
    EXPECT_EQ(Progress.Done, 1 + 2 + 4);
}

TEST_F(NetworkRun, NothingToReach) {
    Job.Url = "http://bugs.example.org/submit";
    Job.Port = 80;
    EXPECT_FALSE(SendViaNetwork(Job, Net).Sent);
    Job.Url.clear();
    Job.Server = "relay.lan";
    EXPECT_FALSE(SendViaNetwork(Job, Net).Sent); // no recipients
    EXPECT_EQ(Net.Connects, std::vector<std::string>{"bugs.example.org:80"});
}

} // namespace
} // namespace qix
