// Winsock 2 must come before windows.h.
#include <winsock2.h>

#include "monitor/PingerU.h"

#include "framework/Exceptions.h"
#include "monitor/Main.h"

#include <iphlpapi.h>
#include <icmpapi.h>

#include <array>
#include <cstring>
#include <mutex>

namespace {
struct TIcmpHandle {
    HANDLE h = IcmpCreateFile();
    ~TIcmpHandle() {
        if (h != INVALID_HANDLE_VALUE) IcmpCloseHandle(h);
    }
};

struct TWinsock {
    bool started = false;
    TWinsock() {
        WSADATA data;
        started = WSAStartup(MAKEWORD(1, 1), &data) == 0;
    }
    ~TWinsock() {
        if (started) WSACleanup();
    }
};
} // namespace

uint32_t ResolveHost(const std::string& Host) {
    TWinsock winsock;
    try {
        const hostent* entry = gethostbyname(Host.c_str());
        if (!entry) throw fw::Exception("Error getting HostName");
        if (!entry->h_addr_list || !entry->h_addr_list[0])
            throw fw::Exception("Error getting IP from HostName");
        uint32_t address;
        std::memcpy(&address, entry->h_addr_list[0], sizeof address);
        return address;
    } catch (const fw::Exception&) {
        return 0; // the echo to 0.0.0.0 then fails with its own code
    }
}

int32_t SendPing(const std::string& Host, int32_t Timeout) {
    TIcmpHandle icmp;
    if (icmp.h == INVALID_HANDLE_VALUE) return 1;
    const uint32_t address = ResolveHost(Host);
    if (Timeout < 0) throw fw::ERangeError();
    std::array<char, 32> payload;
    payload.fill('R');
    // One reply record plus the payload: 60 bytes on 32-bit Windows.
    std::array<unsigned char, sizeof(ICMP_ECHO_REPLY) + 32> reply{};
    DWORD replies = IcmpSendEcho(icmp.h, address, payload.data(), payload.size(), nullptr,
                                 reply.data(), reply.size(), static_cast<DWORD>(Timeout));
    return replies >= 1 ? 0 : static_cast<int32_t>(GetLastError());
}

TPinger::TPinger(std::string host, int32_t timeout, TSendPing sendPing)
    : host_(std::move(host)), timeout_(timeout), sendPing_(std::move(sendPing)) {
    FreeOnTerminate = true;
}

void TPinger::Execute() {
    std::string error;
    try {
        const int32_t code = sendPing_(host_, timeout_ - 50);
        std::lock_guard lock(MonitorLock);
        if (Abandoned || !MainForm) return;
        TPingResult r = ClassifyEchoCode(code);
        if (r.Status == psNone) r.Milliseconds = MillisecondsSince(PingStartTime);
        MainForm->PingResult(r.Status, r.Detail, r.Milliseconds);
        return;
    } catch (const std::exception& e) {
        error = e.what();
    } catch (...) {
        error = "Unknown error";
    }
    // Whatever went wrong, the attempt must end: a silent end would leave a dangling
    // worker reference behind for the next tick.
    std::lock_guard lock(MonitorLock);
    if (!Abandoned && MainForm) MainForm->PingResult(psInternalError, error, 0);
}
