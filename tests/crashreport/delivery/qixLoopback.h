// Loopback helpers for tests that talk to real servers on 127.0.0.1: a TCP channel with
// the reply time-out of the Windows side, and server scripts run for one test.
#pragma once

#include "crashreport/delivery/qixExceptSend_Channel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace qix::test {

inline std::string ReadFile(const std::filesystem::path& p) {
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

// A server script that lives exactly as long as this object. It is ready when it has
// written `readyFile`; Ports holds the numbers found there.
class TServerProcess {
public:
    TServerProcess(std::vector<std::string> args, const std::filesystem::path& readyFile) {
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&Pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
            Pid = -1;
            return;
        }
        for (int i = 0; i < 200 && Ports.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (std::filesystem::exists(readyFile)) {
                std::istringstream in(ReadFile(readyFile));
                for (int port; in >> port;)
                    Ports.push_back(port);
            }
        }
        Port = Ports.empty() ? 0 : Ports.front();
    }
    ~TServerProcess() {
        if (Pid > 0) {
            kill(Pid, SIGTERM);
            int status;
            waitpid(Pid, &status, 0);
        }
    }
    TServerProcess(const TServerProcess&) = delete;
    TServerProcess& operator=(const TServerProcess&) = delete;
    std::vector<int> Ports;
    int Port = 0;

private:
    pid_t Pid = -1;
};

} // namespace qix::test
