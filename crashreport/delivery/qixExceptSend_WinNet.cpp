#include "crashreport/delivery/qixExceptSend_WinNet.h"

#include <winsock2.h>
// winsock2 first: windows.h would pull in the old winsock.h.
#include <iphlpapi.h>
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstring>

namespace qix {

namespace {

class TSocket {
public:
    explicit TSocket(SOCKET s) : s_(s) {}
    ~TSocket() {
        if (s_ != INVALID_SOCKET) closesocket(s_);
    }
    TSocket(const TSocket&) = delete;
    TSocket& operator=(const TSocket&) = delete;
    SOCKET Get() const { return s_; }
    bool Valid() const { return s_ != INVALID_SOCKET; }

private:
    SOCKET s_;
};

// A dotted address as it is, else the first address of the name; INADDR_NONE when neither.
unsigned long ResolveHost(const std::string& host) {
    const unsigned long a = inet_addr(host.c_str());
    if (a != INADDR_NONE || host == "255.255.255.255") return a;
    const hostent* h = gethostbyname(host.c_str());
    if (!h || h->h_addrtype != AF_INET || h->h_length != 4 || !h->h_addr_list[0])
        return INADDR_NONE;
    unsigned long r;
    std::memcpy(&r, h->h_addr_list[0], 4);
    return r;
}

constexpr int kAbortPollMs = 100;

// 1: ready, 0: timed out, -1: error or aborted. Waits in short slices so that an abort
// (which may pump the progress window's messages) is seen within a tenth of a second.
int WaitReady(SOCKET s, bool forWriting, int timeoutMs, const TAbortCheck& aborted) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (aborted && aborted()) return -1;
        const int elapsed = int(GetTickCount() - start);
        if (elapsed >= timeoutMs) return 0;
        const int slice = aborted ? std::min(timeoutMs - elapsed, kAbortPollMs) : timeoutMs;
        fd_set set, failed;
        FD_ZERO(&set);
        FD_ZERO(&failed);
        FD_SET(s, &set);
        FD_SET(s, &failed);
        timeval tv{slice / 1000, (slice % 1000) * 1000};
        const int r = forWriting ? select(0, nullptr, &set, &failed, &tv)
                                 : select(0, &set, nullptr, nullptr, &tv);
        if (r < 0 || (forWriting && FD_ISSET(s, &failed))) return -1;
        if (r > 0) return 1;
    }
}

int WaitReadable(SOCKET s, int timeoutMs, const TAbortCheck& aborted = {}) {
    return WaitReady(s, false, timeoutMs, aborted);
}

// A blocking connect waits as long as the system's SYN retries last; this one waits no
// longer than a reply would, then the socket is blocking again.
bool ConnectWithin(SOCKET s, const sockaddr_in& to, int timeoutMs, const TAbortCheck& aborted) {
    u_long on = 1, off = 0;
    if (ioctlsocket(s, FIONBIO, &on) != 0) return false;
    if (connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
        if (WaitReady(s, true, timeoutMs, aborted) != 1) return false;
        int error = 0;
        int length = sizeof error;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 ||
            error != 0)
            return false;
    }
    return ioctlsocket(s, FIONBIO, &off) == 0;
}

class TSocketChannel : public IByteChannel {
public:
    TSocketChannel(SOCKET s, int timeoutMs, TAbortCheck aborted)
        : socket_(s), timeoutMs_(timeoutMs), aborted_(std::move(aborted)) {}
    bool Send(std::string_view bytes) override {
        while (!bytes.empty()) {
            // A peer that stops reading must not hold the sender for ever.
            if (WaitReady(socket_.Get(), true, timeoutMs_, aborted_) != 1) return false;
            const int n = std::min(bytes.size(), kSendPiece);
            const int sent = send(socket_.Get(), bytes.data(), n, 0);
            if (sent <= 0) return false;
            bytes.remove_prefix(sent);
        }
        return true;
    }
    TReceiveStatus Receive(std::string& into, size_t maxBytes) override {
        const int w = WaitReadable(socket_.Get(), timeoutMs_, aborted_);
        if (w == 0) return TReceiveStatus::TimedOut;
        if (w < 0) return TReceiveStatus::Failed;
        char buffer[5120];
        const int want = int(std::min(maxBytes, sizeof buffer));
        const int got = recv(socket_.Get(), buffer, want, 0);
        if (got == 0) return TReceiveStatus::Closed;
        if (got < 0) return TReceiveStatus::Failed;
        into.append(buffer, size_t(got));
        return TReceiveStatus::Data;
    }

private:
    TSocket socket_;
    int timeoutMs_;
    TAbortCheck aborted_;
};

// A DLL loaded for one query and released after it.
class TLibrary {
public:
    explicit TLibrary(const char* name) : h_(LoadLibraryA(name)) {}
    ~TLibrary() {
        if (h_) FreeLibrary(h_);
    }
    TLibrary(const TLibrary&) = delete;
    TLibrary& operator=(const TLibrary&) = delete;
    template <typename F> F Proc(const char* name) const {
        return h_ ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(h_, name)))
                  : nullptr;
    }

private:
    HMODULE h_;
};

std::vector<std::string> SplitServerList(const std::string& text) {
    const char sep = text.find(',') != std::string::npos ? ',' : ' ';
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(sep, start);
        if (end == std::string::npos) end = text.size();
        std::string part = text.substr(start, end - start);
        part.erase(0, part.find_first_not_of(" \t"));
        part.erase(part.find_last_not_of(" \t") + 1);
        if (!part.empty()) out.push_back(part);
        start = end + 1;
    }
    return out;
}

std::string RegistryString(const char* key, const char* value) {
    HKEY h;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return {};
    char buffer[1024] = {};
    DWORD size = sizeof buffer - 1, type = 0;
    const LONG r =
        RegQueryValueExA(h, value, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(h);
    return r == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) ? std::string(buffer)
                                                                           : std::string();
}

std::vector<std::string> RegistryDnsServers() {
    const bool nt = GetVersion() < 0x80000000u;
    const char* key = nt ? "System\\CurrentControlSet\\Services\\Tcpip\\Parameters"
                         : "System\\CurrentControlSet\\Services\\VxD\\MSTCP";
    std::string list = RegistryString(key, "DhcpNameServer");
    if (list.empty()) list = RegistryString(key, "NameServer");
    return SplitServerList(list);
}

} // namespace

TWinsockUse::TWinsockUse() {
    WSADATA data;
    ok_ = WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

TWinsockUse::~TWinsockUse() {
    if (ok_) WSACleanup();
}

std::string TWinsockNetwork::Exchange(const std::string& server, std::string_view query) {
    const unsigned long address = ResolveHost(server);
    if (address == INADDR_NONE) return {};
    TSocket s(socket(AF_INET, SOCK_DGRAM, 0));
    if (!s.Valid()) return {};
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (bind(s.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return {};
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(53);
    to.sin_addr.s_addr = address;
    if (sendto(s.Get(), query.data(), int(query.size()), 0, reinterpret_cast<sockaddr*>(&to),
               sizeof to) != int(query.size()))
        return {};
    if (WaitReadable(s.Get(), dnsTimeoutMs_, aborted_) != 1) return {};
    char buffer[kDnsMaxReply];
    sockaddr_in from{};
    int fromLength = sizeof from;
    const int got = recvfrom(s.Get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                             &fromLength);
    // A datagram from anyone but the asked server is not its answer.
    if (got <= 0 || from.sin_addr.s_addr != address) return {};
    return std::string(buffer, size_t(got));
}

std::unique_ptr<IByteChannel> TWinsockNetwork::Connect(const std::string& host, uint16_t port) {
    const unsigned long address = ResolveHost(host);
    if (address == INADDR_NONE) return nullptr;
    SOCKET raw = socket(AF_INET, SOCK_STREAM, 0);
    if (raw == INVALID_SOCKET) return nullptr;
    auto channel = std::make_unique<TSocketChannel>(raw, replyTimeoutMs_, aborted_);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    return ConnectWithin(raw, to, replyTimeoutMs_, aborted_) ? std::move(channel) : nullptr;
}

std::vector<std::string> GetDnsServers() {
    using TGetNetworkParams = DWORD(WINAPI*)(PFIXED_INFO, PULONG);
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    const bool old = GetVersionExA(&version) && (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS
                                                     ? version.dwMinorVersion == 0
                                                     : version.dwMajorVersion <= 4);
    if (old) return RegistryDnsServers();
    TLibrary lib("iphlpapi.dll");
    const auto getParams = lib.Proc<TGetNetworkParams>("GetNetworkParams");
    if (!getParams) return RegistryDnsServers();
    ULONG size = 0;
    if (getParams(nullptr, &size) != ERROR_BUFFER_OVERFLOW || size == 0) return {};
    // Twice the asked size: the list may grow between the two calls.
    std::vector<unsigned char> buffer(size_t(size) * 2);
    size = ULONG(buffer.size());
    auto* info = reinterpret_cast<FIXED_INFO*>(buffer.data());
    if (getParams(info, &size) != ERROR_SUCCESS) return {};
    std::vector<std::string> servers;
    const char* current = info->CurrentDnsServer ? info->CurrentDnsServer->IpAddress.String
                                                 : info->DnsServerList.IpAddress.String;
    if (*current) servers.emplace_back(current);
    for (const IP_ADDR_STRING* a = &info->DnsServerList; a; a = a->Next)
        if (*a->IpAddress.String &&
            std::find(servers.begin(), servers.end(), a->IpAddress.String) == servers.end())
            servers.emplace_back(a->IpAddress.String);
    return servers;
}

bool IsOnline() {
    using TConnected = BOOL(WINAPI*)(LPDWORD, DWORD);
    TLibrary lib("wininet.dll");
    const auto connected = lib.Proc<TConnected>("InternetGetConnectedState");
    DWORD flags = 0;
    return connected && connected(&flags, 0);
}

std::string SystemProxy() {
    using TQueryOption = BOOL(WINAPI*)(HINTERNET, DWORD, LPVOID, LPDWORD);
    TLibrary lib("wininet.dll");
    const auto query = lib.Proc<TQueryOption>("InternetQueryOptionA");
    if (!query) return {};
    DWORD size = 0;
    query(nullptr, INTERNET_OPTION_PROXY, nullptr, &size);
    if (size < sizeof(INTERNET_PROXY_INFO)) return {};
    std::vector<unsigned char> buffer(size + 1);
    if (!query(nullptr, INTERNET_OPTION_PROXY, buffer.data(), &size)) return {};
    const auto* info = reinterpret_cast<const INTERNET_PROXY_INFO*>(buffer.data());
    if (info->dwAccessType != INTERNET_OPEN_TYPE_PROXY || !info->lpszProxy) return {};
    return reinterpret_cast<const char*>(info->lpszProxy);
}

} // namespace qix
