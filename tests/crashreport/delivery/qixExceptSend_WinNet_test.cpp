// The Winsock channel against a loopback peer in the same process, and the system's DNS
// servers against the resolver file Wine reads them from.
#include "crashreport/delivery/qixExceptSend_WinNet.h"

#include <gtest/gtest.h>

#include <winsock2.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace qix {
namespace {

class TListener {
public:
    TListener() {
        s_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = inet_addr("127.0.0.1");
        bind(s_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(s_, 4);
        int len = sizeof a;
        getsockname(s_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~TListener() { closesocket(s_); }
    uint16_t Port() const { return port_; }
    SOCKET Accept() { return accept(s_, nullptr, nullptr); }

private:
    SOCKET s_;
    uint16_t port_ = 0;
};

std::string ReadAll(SOCKET s) {
    std::string all;
    char buffer[4096];
    for (int got; (got = recv(s, buffer, sizeof buffer, 0)) > 0;)
        all.append(buffer, size_t(got));
    return all;
}

TEST(WinsockChannel, CarriesBytesBothWaysAndReportsTimeOutAndClose) {
    TWinsockUse winsock;
    ASSERT_TRUE(winsock.Ok());
    TListener listener;
    TWinsockNetwork network(300);
    auto channel = network.Connect("127.0.0.1", listener.Port());
    ASSERT_TRUE(channel);
    SOCKET peer = listener.Accept();
    ASSERT_NE(peer, INVALID_SOCKET);

    std::string into;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(channel->Receive(into, 1024), TReceiveStatus::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(250));

    ASSERT_EQ(send(peer, "220 ready\r\n", 11, 0), 11);
    EXPECT_EQ(channel->Receive(into, 1024), TReceiveStatus::Data);
    EXPECT_EQ(into, "220 ready\r\n");

    // More than one piece, with every byte value.
    std::string big;
    for (int i = 0; i < 5000; ++i)
        big += char(i * 31 % 256);
    EXPECT_TRUE(channel->Send(big));
    channel.reset(); // closes our end, so the peer reads to the end
    EXPECT_EQ(ReadAll(peer), big);
    closesocket(peer);
}

TEST(WinsockChannel, SeesThePeerClose) {
    TWinsockUse winsock;
    TListener listener;
    TWinsockNetwork network(2000);
    auto channel = network.Connect("127.0.0.1", listener.Port());
    ASSERT_TRUE(channel);
    closesocket(listener.Accept());
    std::string into;
    EXPECT_EQ(channel->Receive(into, 1024), TReceiveStatus::Closed);
    EXPECT_TRUE(into.empty());
}

// Names are left out: resolving one here would ask the machine's own DNS server.
TEST(WinsockChannel, NoConnectionToAClosedPort) {
    TWinsockUse winsock;
    uint16_t port;
    {
        TListener gone;
        port = gone.Port();
    }
    TWinsockNetwork network(2000);
    EXPECT_FALSE(network.Connect("127.0.0.1", port));
}

TEST(WinsockDns, NoReplyWithinTheTimeOutGivesNothing) {
    TWinsockUse winsock;
    // A server that reads the query and keeps quiet.
    SOCKET quiet = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(53);
    a.sin_addr.s_addr = inet_addr("127.0.0.2");
    ASSERT_EQ(bind(quiet, reinterpret_cast<sockaddr*>(&a), sizeof a), 0)
        << "cannot bind UDP 127.0.0.2:53 (needs root, and the port free)";
    TWinsockNetwork network(2000, 300);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(network.Exchange("127.0.0.2", BuildDnsQuery("example.test", kDnsTypeMx)).empty());
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::seconds(5));
    closesocket(quiet);
}

// Wine takes the DNS servers from the host's resolver file.
TEST(SystemDns, ServersAreTheResolverFileNameservers) {
    std::ifstream file("Z:\\etc\\resolv.conf");
    ASSERT_TRUE(file) << "Z:\\etc\\resolv.conf (the host's resolver file) is not readable";
    std::vector<std::string> expected;
    for (std::string line; std::getline(file, line);) {
        std::istringstream words(line);
        std::string key, value;
        if (words >> key >> value && key == "nameserver" && value.find(':') == std::string::npos &&
            std::find(expected.begin(), expected.end(), value) == expected.end())
            expected.push_back(value);
    }
    std::vector<std::string> servers = GetDnsServers();
    std::sort(servers.begin(), servers.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(servers, expected);
}

} // namespace
} // namespace qix
