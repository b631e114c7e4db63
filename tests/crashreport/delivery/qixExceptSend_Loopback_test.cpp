// Whole sessions against real servers on 127.0.0.1 (aiosmtpd, dnslib, http.server):
// what they store must be what we built, read back by Python's own parsers.
#include "crashreport/delivery/qixExceptSend_Network.h"
#include "crashreport/delivery/qixExceptSend_Smtp.h"

#include "qixLoopback.h"
#include "qixSendTestUtil.h"

#include <gtest/gtest.h>

#include <map>

namespace qix {
namespace {

using test::Hex;
using test::TTempDir;

using test::ReadFile;
using test::TLoopbackChannel;

// The SMTP server script, with AUTH LOGIN when given an account.
struct TSmtpServer : test::TServerProcess {
    explicit TSmtpServer(const std::filesystem::path& folder, const std::string& user = {},
                         const std::string& password = {})
        : TServerProcess(Args(folder, user, password), folder / "port") {}
    static std::vector<std::string> Args(const std::filesystem::path& folder,
                                         const std::string& user, const std::string& password) {
        std::vector<std::string> args = {"/usr/bin/python3", QIX_SMTPSERVER, folder.string()};
        if (!user.empty()) args.insert(args.end(), {user, password});
        return args;
    }
};

class LoopbackSmtp : public ::testing::Test {
protected:
    TTempDir Dir;
    std::filesystem::path Mail = Dir.Path / "spool";
    TSmtpSessionSetup Setup;
    TMailMessage Message;

    LoopbackSmtp() {
        std::filesystem::create_directories(Mail);
        Setup.ComputerName = "PC";
        Setup.Sender = "qixExcept <crash@x.org>";
        Setup.Recipients = "dev@example.org";
        Message.To = Setup.Recipients;
        Message.From = Setup.Sender;
        Message.Subject = "bug report";
        Message.Body = "please find the bug report attached\n.\n.leading dot";
        Message.Date = {2026, 12, 8, 6, 5, 9};
        Message.FileTime = 0x01db49a1b2c3d4e5ull;
        std::string binary;
        for (int i = 0; i < 100000; ++i)
            binary += char((i * 131 + i / 7) & 0xff);
        Message.Attachments = {
            {Dir.File("bugreport.txt", ".\r\n..\r\nexception message : access violation\r\n"),
             "bugreport.txt"},
            {Dir.File("screenShot.png", binary), "screenShot.png"}};
    }

    TSmtpOutcome Send(TSmtpServer& server) {
        EXPECT_NE(server.Port, 0) << "the aiosmtpd server (python3-aiosmtpd) did not start";
        TLoopbackChannel channel(server.Port);
        EXPECT_TRUE(channel.Connected);
        return RunSmtpSession(Setup, Message, channel);
    }
};

TEST_F(LoopbackSmtp, DirectSessionStoresTheMessageWeBuilt) {
    TSmtpServer server(Mail);
    ASSERT_NE(server.Port, 0) << "the aiosmtpd server (python3-aiosmtpd) did not start";
    const TSmtpOutcome out = Send(server);
    EXPECT_TRUE(out.Delivered) << SmtpFailureText(out.Failure);
    ASSERT_TRUE(std::filesystem::exists(Mail / "1.eml"));
    // The server strips the dot-stuffing; the last line's CR LF is part of the end mark.
    EXPECT_EQ(ReadFile(Mail / "1.eml"), BuildMailMessage(Message) + "\r\n");
    EXPECT_EQ(ReadFile(Mail / "1.env"), "from crash@x.org\nrcpt dev@example.org\n");
}

TEST_F(LoopbackSmtp, RelayWithAuthLogin) {
    TSmtpServer server(Mail, "reporter", "s3cret:pw");
    ASSERT_NE(server.Port, 0) << "the aiosmtpd server (python3-aiosmtpd) did not start";
    Setup.Account = "reporter";
    Setup.Password = "s3cret:pw";
    Setup.Recipients = Message.To = "dev@example.org; ops@example.net";
    const TSmtpOutcome out = Send(server);
    EXPECT_TRUE(out.Delivered) << SmtpFailureText(out.Failure);
    EXPECT_EQ(ReadFile(Mail / "1.env"),
              "from crash@x.org\nrcpt dev@example.org\nrcpt ops@example.net\n");
}

TEST_F(LoopbackSmtp, WrongPasswordIsRefusedAndNothingStored) {
    TSmtpServer server(Mail, "reporter", "right");
    ASSERT_NE(server.Port, 0) << "the aiosmtpd server (python3-aiosmtpd) did not start";
    Setup.Account = "reporter";
    Setup.Password = "wrong";
    const TSmtpOutcome out = Send(server);
    EXPECT_FALSE(out.Delivered);
    EXPECT_EQ(out.Failure, TSmtpFailure::AuthRejected);
    EXPECT_EQ(out.LastReply.Code, 221); // it still said goodbye
    EXPECT_FALSE(std::filesystem::exists(Mail / "1.eml"));
}

// Real sockets, but only to 127.0.0.1: host names map to the ports of the test's servers.
class TLoopbackNetwork : public ISendNetwork {
public:
    int DnsPort = 0;
    std::map<std::string, int> Hosts; // "name:port" -> port on 127.0.0.1

    std::string Exchange(const std::string& server, std::string_view query) override {
        if (server != "127.0.0.1") return {};
        const int s = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(uint16_t(DnsPort));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::string reply;
        if (sendto(s, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
            ssize_t(query.size())) {
            pollfd p{s, POLLIN, 0};
            if (poll(&p, 1, 5000) == 1) {
                char buffer[kDnsMaxReply];
                sockaddr_in from{};
                socklen_t fromLength = sizeof from;
                const ssize_t n = recvfrom(s, buffer, sizeof buffer, 0,
                                           reinterpret_cast<sockaddr*>(&from), &fromLength);
                // Only the server we asked may answer.
                if (n > 0 && from.sin_port == to.sin_port) reply.assign(buffer, size_t(n));
            }
        }
        close(s);
        return reply;
    }
    std::unique_ptr<IByteChannel> Connect(const std::string& host, uint16_t port) override {
        const auto found = Hosts.find(host + ":" + std::to_string(port));
        if (found == Hosts.end()) return nullptr;
        auto channel = std::make_unique<TLoopbackChannel>(found->second);
        return channel->Connected ? std::move(channel) : nullptr;
    }
};

class LoopbackNetwork : public ::testing::Test {
protected:
    TTempDir Dir;
    std::filesystem::path Spool = Dir.Path / "spool";
    std::unique_ptr<test::TServerProcess> Servers;
    TLoopbackNetwork Net;
    TNetworkJob Job;
    std::string Binary;

    void SetUp() override {
        std::filesystem::create_directories(Spool);
        Servers = std::make_unique<test::TServerProcess>(
            std::vector<std::string>{"/usr/bin/python3", QIX_LOOPSERVERS, Spool.string(),
                                     "example.org", "mx.example.org"},
            Spool / "ports");
        ASSERT_EQ(Servers->Ports.size(), 3u)
            << "the loopback servers (python3-dnslib, python3-aiosmtpd) did not start";
        Net.DnsPort = Servers->Ports[0];
        Job.ComputerName = "PC";
        Job.Sender = "qixExcept <crash@x.org>";
        Job.Recipients = "dev@example.org";
        Job.Subject = "bug report";
        Job.Body = "please find the bug report attached";
        Job.Date = {2026, 12, 8, 6, 5, 9};
        Job.FileTime = 0x01db49a1b2c3d4e5ull;
        Job.DnsServers = {"127.0.0.1"};
        for (int i = 0; i < 1 << 20; ++i)
            Binary += char((i * 2654435761u) >> 24);
        Job.Attachments = {{Dir.File("bugreport.txt", "exception message : boom\r\n.\r\n"),
                            "BugReport", "bugreport.txt"},
                           {Dir.File("screenShot.png", Binary), "ScreenShot", "screenShot.png"}};
    }
};

TEST_F(LoopbackNetwork, DirectMailThroughTheLookedUpExchanger) {
    Net.Hosts["mx.example.org:25"] = Servers->Ports[1];
    const TNetworkOutcome out = SendViaNetwork(Job, Net);
    ASSERT_TRUE(out.Sent) << (out.Notes.empty() ? "" : out.Notes.front());
    EXPECT_EQ(ReadFile(Spool / "1.env"), "from crash@x.org\nrcpt dev@example.org\n");
    const std::string facts =
        test::RunTool("/usr/bin/python3 " QIX_MAILPARSE " '" + (Spool / "1.eml").string() + "'");
    EXPECT_NE(facts.find("header Subject: bug report\n"), std::string::npos);
    EXPECT_NE(facts.find("filename=bugreport.txt disposition=attachment defects=0 hex=" +
                         Hex("exception message : boom\r\n.\r\n") + "\n"),
              std::string::npos);
    EXPECT_NE(facts.find("filename=screenShot.png disposition=attachment defects=0 hex=" +
                         Hex(Binary) + "\n"),
              std::string::npos);
}

TEST_F(LoopbackNetwork, UploadArrivesWithEveryFieldAndFile) {
    Job.Url = "http://up.example.org/submit";
    Job.Port = 80;
    Job.Fields = {{"MailFrom", "crash@x.org"}, {"Version", "Ravelink 2.1"}};
    Net.Hosts["up.example.org:80"] = Servers->Ports[2];
    const TNetworkOutcome out = SendViaNetwork(Job, Net);
    ASSERT_TRUE(out.Sent) << (out.Notes.empty() ? "" : out.Notes.front());
    // The server read exactly Content-Length bytes; give the parser a request around them.
    const std::string head = ReadFile(Spool / "1.head");
    const size_t type = head.find("Content-Type: ");
    ASSERT_NE(type, std::string::npos) << head;
    const std::string body = ReadFile(Spool / "1.post");
    const std::string request =
        "POST /submit HTTP/1.1\r\n" + head.substr(type, head.find('\n', type) - type) +
        "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    const std::string facts = test::RunTool("/usr/bin/python3 " QIX_FORMPARSE " '" +
                                            Dir.File("request.bin", request) + "'");
    EXPECT_EQ(head.substr(0, head.find('\n')), "POST /submit");
    EXPECT_NE(facts.find("defects 0\n"
                         "part name=MailFrom filename=None type=None defects=0 hex=" +
                         Hex("crash@x.org") +
                         "\n"
                         "part name=Version filename=None type=None defects=0 hex=" +
                         Hex("Ravelink 2.1") +
                         "\n"
                         "part name=BugReport filename=bugreport.txt "
                         "type=application/octet-stream defects=0 hex=" +
                         Hex("exception message : boom\r\n.\r\n") +
                         "\n"
                         "part name=ScreenShot filename=screenShot.png "
                         "type=application/octet-stream defects=0 hex=" +
                         Hex(Binary) + "\n"),
              std::string::npos)
        << facts.substr(0, 600);
}

TEST_F(LoopbackNetwork, DomainWithoutExchangerAndClosedPorts) {
    Job.Recipients = "dev@nomx.org";
    // No MX record: the domain itself is tried, and nothing listens there.
    const TNetworkOutcome out = SendViaNetwork(Job, Net);
    EXPECT_FALSE(out.Sent);
    EXPECT_EQ(out.Notes, std::vector<std::string>{"nomx.org: no connection"});
}

} // namespace
} // namespace qix
