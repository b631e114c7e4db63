// The ping cycle: real echoes to loopback, abandoned workers, the history and live retuning.
#include "MonitorFixture.h"

#include "monitor/Main_Paint.h"

#include <iphlpapi.h>

#include <icmpapi.h>

#include <atomic>

namespace {
// An echo that waits until the test lets it go.
struct Gate {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~Gate() {
        Open(); // never leave a worker waiting on a closed handle
        Sleep(50);
        CloseHandle(event);
    }
    void Open() { SetEvent(event); }
};

// The icon tick consumes the ready flag, so look at the worker reference instead.
bool ResultPublished() {
    std::lock_guard lock(MonitorLock);
    return CurrentPinger == nullptr;
}
} // namespace

TEST_F(MonitorTest, RealEchoToLoopbackSucceedsWithAMeasuredTime) {
    EXPECT_EQ(SendPing("127.0.0.1", 450), 0);
    Store({{"Host", "127.0.0.1"}, {"PingFrequency", "0"}});
    StartForms();
    form->PingTimerTimer(form);
    ASSERT_TRUE(PumpUntil(ResultPublished, 15000));
    std::lock_guard lock(MonitorLock);
    EXPECT_EQ(PingHistory[0].Status, psNone);
    EXPECT_EQ(PingHistory[0].Detail, "");
    EXPECT_GE(PingHistory[0].Milliseconds, 0);
    EXPECT_EQ(CurrentPinger, nullptr);
}

TEST_F(MonitorTest, UnresolvableNameEndsAsTheEchoToNowhere) {
    // Over-long labels are refused by the resolver itself, so no query leaves the machine.
    const std::string name(300, 'a');
    EXPECT_EQ(ResolveHost(name), 0u);
    HANDLE icmp = IcmpCreateFile();
    char payload[32] = {};
    unsigned char reply[sizeof(ICMP_ECHO_REPLY) + 32];
    DWORD n = IcmpSendEcho(icmp, 0, payload, 32, nullptr, reply, sizeof reply, 100);
    const int32_t nowhere = n ? 0 : static_cast<int32_t>(GetLastError());
    IcmpCloseHandle(icmp);
    EXPECT_EQ(SendPing(name, 100), nowhere);
}

TEST_F(MonitorTest, TimeoutBelowFiftyIsARangeError) {
    Store({{"Host", "127.0.0.1"}, {"PingFrequency", "0"}, {"PingTimeout", "30"}});
    StartForms();
    form->PingTimerTimer(form);
    ASSERT_TRUE(PumpUntil(ResultPublished, 15000));
    std::lock_guard lock(MonitorLock);
    EXPECT_EQ(PingHistory[0].Status, psInternalError);
    EXPECT_EQ(PingHistory[0].Detail, "Range check error");
}

TEST_F(MonitorTest, LateWorkerIsAbandonedAndPublishesNothing) {
    Store({{"Host", "127.0.0.1"}, {"PingFrequency", "0"}});
    StartForms();
    Gate first, second;
    std::atomic<int> calls{0};
    form->SendPingFunction = [&](const std::string& host, int32_t timeout) -> int32_t {
        EXPECT_EQ(host, "127.0.0.1");
        EXPECT_EQ(timeout, 450);
        const int call = ++calls;
        WaitForSingleObject(call == 1 ? first.event : second.event, 60000);
        return call == 1 ? 11010 : 0;
    };
    form->PingTimerTimer(form);
    PumpUntil([&] { return calls == 1; }, 15000);
    form->PingTimerTimer(form); // the first attempt is still waiting
    EXPECT_FALSE(ResultPublished());
    {
        std::lock_guard lock(MonitorLock);
        EXPECT_EQ(PingHistory[1].Status, psAbandoned);
        EXPECT_EQ(PingHistory[1].Detail, "thread time-out");
        EXPECT_EQ(PingHistory[0].Status, psNone);
    }
    first.Open();
    PumpFor(300);
    EXPECT_FALSE(ResultPublished()); // the late worker kept quiet
    {
        std::lock_guard lock(MonitorLock);
        EXPECT_EQ(PingHistory[0].Status, psNone);
        EXPECT_NE(CurrentPinger, nullptr);
    }
    second.Open();
    ASSERT_TRUE(PumpUntil(ResultPublished, 15000));
    form->IconTimerTimer(form);
    // The abandoned attempt shows grey one column left of the newest.
    EXPECT_EQ(form->TrayIcon->Hint().substr(0, 15), "VORN Ravelink 2");
}

TEST_F(MonitorTest, HistoryDropsItsOldestEntry) {
    Store({{"Host", "127.0.0.1"}, {"PingFrequency", "0"}});
    StartForms();
    form->SendPingFunction = [](const std::string&, int32_t) { return int32_t{0}; };
    PingHistory[1999] = {psTtlExceeded, "kept", 0};
    PingHistory[2000] = {psUnreachable, "dropped", 0};
    form->PingTimerTimer(form);
    PumpUntil(ResultPublished, 15000);
    std::lock_guard lock(MonitorLock);
    EXPECT_EQ(PingHistory[2000].Detail, "kept");
    for (const auto& e : PingHistory)
        EXPECT_NE(e.Detail, "dropped");
}

TEST_F(MonitorTest, IconTickRetunesBothTimersLive) {
    Store({{"Host", "127.0.0.1"}, {"PingFrequency", "5000"}});
    StartForms();
    form->SendPingFunction = [](const std::string&, int32_t) { return int32_t{0}; };
    SetWindowTextA(form->PingFrequency->Handle(), "0");
    form->IconTimerTimer(form);
    EXPECT_EQ(form->PingTimer->Interval(), 0u); // stopped
    SetWindowTextA(form->PingFrequency->Handle(), "200");
    form->IconTimerTimer(form);
    EXPECT_EQ(form->PingTimer->Interval(), 200u);
    EXPECT_TRUE(PumpUntil(ResultPublished, 15000)); // pinging again
    SetWindowTextA(form->IconUpdate->Handle(), "0");
    form->IconTimerTimer(form);
    EXPECT_EQ(form->IconTimer->Interval(), 0u);
}

TEST_F(MonitorTest, ZeroTimeoutDrawsWithoutAnError) {
    Store({{"Host", "127.0.0.1"}, {"PingFrequency", "0"}, {"PingTimeout", "0"}});
    StartForms();
    {
        std::lock_guard lock(MonitorLock);
        PingHistory[0] = {psNone, "", 12};
        ResultReady = true;
    }
    DialogCatcher catcher;
    form->IconTimerTimer(form);
    PumpFor(200);
    EXPECT_FALSE(catcher.Seen());
    EXPECT_EQ(std::string(form->TrayIcon->IconData().szTip), "VORN Ravelink 2\r\nPing time: 12 ms");
}

TEST_F(MonitorTest, RepaintingReleasesThePreviousIcon) {
    Store({{"Host", "127.0.0.1"}, {"PingFrequency", "0"}});
    StartForms();
    const DWORD before = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    for (int i = 0; i < 300; ++i)
        form->DrawIcon();
    const DWORD after = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (before == 0) GTEST_SKIP() << "no GDI object count on this system";
    EXPECT_LT(after, before + 20);
}

TEST_F(MonitorTest, HintShowsThePingTimeOfTheCurrentAttempt) {
    Store({{"Host", "127.0.0.1"}, {"PingFrequency", "0"}});
    StartForms();
    {
        std::lock_guard lock(MonitorLock);
        PingHistory[0] = {psNone, "", 250};
    }
    form->DrawIcon();
    // The tray hint reads back cut to 63 characters; the tip keeps the whole text.
    EXPECT_EQ(std::string(form->TrayIcon->IconData().szTip),
              "VORN Ravelink 2\r\nPing time: 250 ms");
}
