// Whole SMTP sessions against a real server (Python's aiosmtpd) on 127.0.0.1: what it
// stores, after undoing the dot-stuffing, must be the message we built.
#include "crashreport/delivery/qixExceptSend_Smtp.h"

#include "qixSendTestUtil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace qix {
namespace {

using test::TTempDir;

std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A blocking TCP connection with a receive time-out, as the Windows side will have.
class TLoopbackChannel : public IByteChannel {
public:
    explicit TLoopbackChannel(int port) {
        Socket = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(uint16_t(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        Connected =
            Socket >= 0 && connect(Socket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~TLoopbackChannel() override {
        if (Socket >= 0) close(Socket);
    }
    TLoopbackChannel(const TLoopbackChannel&) = delete;
    TLoopbackChannel& operator=(const TLoopbackChannel&) = delete;

    bool Connected = false;
    bool Send(std::string_view bytes) override {
        while (!bytes.empty()) {
            const ssize_t n = send(Socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) return false;
            bytes.remove_prefix(size_t(n));
        }
        return true;
    }
    TReceiveStatus Receive(std::string& into, size_t maxBytes) override {
        pollfd p{Socket, POLLIN, 0};
        const int ready = poll(&p, 1, 7000);
        if (ready == 0) return TReceiveStatus::TimedOut;
        if (ready < 0) return TReceiveStatus::Failed;
        char buffer[8192];
        const ssize_t n = recv(Socket, buffer, std::min(maxBytes, sizeof buffer), 0);
        if (n == 0) return TReceiveStatus::Closed;
        if (n < 0) return TReceiveStatus::Failed;
        into.append(buffer, size_t(n));
        return TReceiveStatus::Data;
    }

private:
    int Socket = -1;
};

// The server lives exactly as long as this object.
class TSmtpServer {
public:
    TSmtpServer(const std::filesystem::path& folder, const std::string& user = {},
                const std::string& password = {}) {
        std::vector<std::string> args = {"/usr/bin/python3", QIX_SMTPSERVER, folder.string()};
        if (!user.empty()) args.insert(args.end(), {user, password});
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&Pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
            Pid = -1;
            return;
        }
        for (int i = 0; i < 200 && Port == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (std::filesystem::exists(folder / "port"))
                Port = std::stoi(ReadFile(folder / "port"));
        }
    }
    ~TSmtpServer() {
        if (Pid > 0) {
            kill(Pid, SIGTERM);
            int status;
            waitpid(Pid, &status, 0);
        }
    }
    TSmtpServer(const TSmtpServer&) = delete;
    TSmtpServer& operator=(const TSmtpServer&) = delete;
    int Port = 0;

private:
    pid_t Pid = -1;
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

} // namespace
} // namespace qix
