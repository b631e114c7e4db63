#pragma once
// One ping attempt on a short-lived, self-freeing worker thread.
#include "framework/Thread.h"
#include "monitor/PingerU_Status.h"

#include <cstdint>
#include <functional>
#include <string>

// Sends one echo; 0 when a reply came back, otherwise the platform's error code.
using TSendPing = std::function<int32_t(const std::string& host, int32_t timeout)>;

int32_t SendPing(const std::string& Host, int32_t Timeout);
// IPv4 address in network byte order; 0.0.0.0 when the name does not resolve.
uint32_t ResolveHost(const std::string& Host);

class TPinger : public fw::TThread {
public:
    // Host and timeout are handed over by the tick, so the worker never touches a window.
    TPinger(std::string host, int32_t timeout, TSendPing sendPing);
    bool Abandoned = false; // guarded by the monitor lock

protected:
    void Execute() override;

private:
    std::string host_;
    int32_t timeout_;
    TSendPing sendPing_;
};
