// The ping cycle: real echoes to loopback, abandoned workers, the history and live retuning.
#include "MonitorFixture.h"

#include "monitor/Main_Paint.h"

#include <iphlpapi.h>

#include <icmpapi.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

namespace {
// An echo the test holds: each call announces itself and waits until the test lets that
// call go. Every copy of the send function shares the state, so a worker that outlives
// the test's interest never touches a dead stack, and the test can see when the last copy
// (the form's, a worker's) is gone.
class HeldEcho {
public:
    explicit HeldEcho(const std::vector<int32_t>& codes) : state_(std::make_shared<State>(codes)) {}
    ~HeldEcho() {
        for (const Call& c : state_->calls)
            SetEvent(c.release); // no worker stays held after the test
    }
    HeldEcho(const HeldEcho&) = delete;
    HeldEcho& operator=(const HeldEcho&) = delete;

    TSendPing Function() const {
        return [s = state_](const std::string& host, int32_t timeout) {
            return s->Answer(host, timeout);
        };
    }
    bool Entered(size_t k) const { return Signalled(state_->calls[k].entered); }
    void Release(size_t k) const { SetEvent(state_->calls[k].release); }
    // The worker thread of call k has ended, and with it its copy of the send function.
    bool WorkerEnded(size_t k) const { return Signalled(state_->calls[k].thread); }
    const std::string& Host(size_t k) const { return state_->calls[k].host; }
    int32_t Timeout(size_t k) const { return state_->calls[k].timeout; }
    // Copies of the send function still alive, this object's own included.
    long Holders() const { return state_.use_count(); }

private:
    struct Call {
        HANDLE entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE thread = nullptr;
        int32_t code = 0;
        std::string host;
        int32_t timeout = 0;
    };
    struct State {
        explicit State(const std::vector<int32_t>& codes) : calls(codes.size()) {
            for (size_t k = 0; k < codes.size(); ++k)
                calls[k].code = codes[k];
        }
        ~State() {
            for (Call& c : calls)
                for (HANDLE h : {c.entered, c.release, c.thread})
                    if (h) CloseHandle(h);
        }
        int32_t Answer(const std::string& host, int32_t timeout) {
            const size_t k = next++;
            if (k >= calls.size()) return 1; // more attempts than the test planned
            Call& c = calls[k];
            c.host = host;
            c.timeout = timeout;
            DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &c.thread,
                            SYNCHRONIZE, FALSE, 0);
            SetEvent(c.entered);
            WaitForSingleObject(c.release, INFINITE);
            return c.code;
        }
        std::vector<Call> calls;
        std::atomic<size_t> next{0};
    };
    static bool Signalled(HANDLE h) { return h && WaitForSingleObject(h, kLongWait) == 0; }
    std::shared_ptr<State> state_;
};

// The icon tick consumes the ready flag, so look at the worker reference instead.
bool ResultPublished() {
    std::lock_guard lock(MonitorLock);
    return CurrentPinger == nullptr;
}

constexpr uint32_t kGrey = 0x808080;
} // namespace

TEST_F(MonitorTest, RealEchoToLoopbackSucceedsWithAMeasuredTime) {
    EXPECT_EQ(SendPing("127.0.0.1", 450), 0);
    Store({{"Host", "127.0.0.1"}, {"PingFrequency", "0"}});
    StartForms();
    // The real echo, behind a pause the attempt's time has to include.
    form->SendPingFunction = [](const std::string& host, int32_t timeout) {
        Sleep(300);
        return SendPing(host, timeout);
    };
    const auto before = std::chrono::steady_clock::now();
    form->PingTimerTimer(form);
    ASSERT_TRUE(PumpUntil(ResultPublished, kLongWait));
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - before)
                             .count();
    std::lock_guard lock(MonitorLock);
    EXPECT_EQ(PingHistory[0].Status, psNone);
    EXPECT_EQ(PingHistory[0].Detail, "");
    // Local time ticks more coarsely than the test's clock on some systems.
    EXPECT_GE(PingHistory[0].Milliseconds, 300 - 20);
    EXPECT_LE(PingHistory[0].Milliseconds, elapsed + 20);
}

TEST_F(MonitorTest, UnresolvableNameReachesStatusAndHintAsTheEchoToNowhere) {
    // Over-long labels are refused by the resolver itself, so no query leaves the machine.
    const std::string name(300, 'a');
    EXPECT_EQ(ResolveHost(name), 0u);
    HANDLE icmp = IcmpCreateFile();
    ASSERT_NE(icmp, INVALID_HANDLE_VALUE);
    char payload[32] = {};
    unsigned char reply[sizeof(ICMP_ECHO_REPLY) + 32];
    DWORD n = IcmpSendEcho(icmp, 0, payload, 32, nullptr, reply, sizeof reply, 100);
    const int32_t nowhere = n ? 0 : static_cast<int32_t>(GetLastError());
    IcmpCloseHandle(icmp);
    // Codes 11002..11014 would be classified; the one seen here must fall outside them.
    ASSERT_TRUE(nowhere < 11002 || nowhere > 11014) << nowhere;

    Store({{"Host", name}, {"PingFrequency", "0"}});
    StartForms();
    form->PingTimerTimer(form);
    ASSERT_TRUE(PumpUntil(ResultPublished, kLongWait));
    {
        std::lock_guard lock(MonitorLock);
        EXPECT_EQ(PingHistory[0].Status, psInternalError);
        EXPECT_EQ(PingHistory[0].Detail, "error code " + std::to_string(nowhere));
    }
    form->IconTimerTimer(form);
    EXPECT_EQ(form->TrayIcon->Hint(),
              "Internal error (error code " + std::to_string(nowhere) + ")");
}

TEST_F(MonitorTest, TimeoutBelowFiftyIsARangeError) {
    Store({{"Host", "127.0.0.1"}, {"PingFrequency", "0"}, {"PingTimeout", "30"}});
    StartForms();
    form->PingTimerTimer(form);
    ASSERT_TRUE(PumpUntil(ResultPublished, kLongWait));
    std::lock_guard lock(MonitorLock);
    EXPECT_EQ(PingHistory[0].Status, psInternalError);
    EXPECT_EQ(PingHistory[0].Detail, "Range check error");
}

TEST_F(MonitorTest, LateWorkerIsAbandonedAndPublishesNothing) {
    Store({{"Host", "127.0.0.1"}, {"PingFrequency", "0"}});
    StartForms();
    HeldEcho echo({11010, 0});
    form->SendPingFunction = echo.Function();
    form->PingTimerTimer(form);
    ASSERT_TRUE(echo.Entered(0));
    EXPECT_EQ(echo.Host(0), "127.0.0.1");
    EXPECT_EQ(echo.Timeout(0), 450);
    form->PingTimerTimer(form); // the first attempt is still waiting
    ASSERT_TRUE(echo.Entered(1));
    EXPECT_FALSE(ResultPublished());
    {
        std::lock_guard lock(MonitorLock);
        EXPECT_EQ(PingHistory[1].Status, psAbandoned);
        EXPECT_EQ(PingHistory[1].Detail, "thread time-out");
        EXPECT_EQ(PingHistory[0].Status, psNone);
    }
    echo.Release(0); // its time-out comes back late
    ASSERT_TRUE(echo.WorkerEnded(0));
    {
        std::lock_guard lock(MonitorLock);
        EXPECT_NE(CurrentPinger, nullptr); // still the second attempt's
        EXPECT_FALSE(ResultReady);
        EXPECT_EQ(PingHistory[0].Status, psNone);
        EXPECT_EQ(PingHistory[1].Status, psAbandoned);
    }
    echo.Release(1);
    ASSERT_TRUE(PumpUntil(ResultPublished, kLongWait));
    form->IconTimerTimer(form);
    // The abandoned attempt is a grey column one place left of the newest; the hint
    // already describes the new attempt.
    const TestImage icon = IconPixels(form->TrayIcon->Icon().Handle());
    ASSERT_EQ(icon.width, 16);
    ASSERT_EQ(icon.height, 16);
    for (int y = 0; y < 16; ++y)
        EXPECT_EQ(icon.At(14, y), kGrey) << "y=" << y;
    EXPECT_EQ(form->TrayIcon->Hint().substr(0, 15), "VORN Ravelink 2");
    ASSERT_TRUE(echo.WorkerEnded(1));
}

namespace {
// Set in the environment of a copy of this program that runs the program's main block with
// the first attempt's echo held past "Exit"; its exit code is a set of the faults below.
const char* const kExitChild = "QIX_EXIT_CHILD";
enum ExitFault : UINT {
    kNeverSent = 1,
    kFormStillReachable = 2,
    kWorkerStillCurrent = 4,
    kWorkerNeverEnded = 8,
    kWorkerNotFreed = 16,
    kPublished = 32,
};

UINT RunTheProgramAndExitWhileAnEchoIsHeld() {
    HeldEcho echo({0});
    {
        fw::TApplication application;
        application.Initialize();
        application.SetTitle("Ravelink 2");
        application.ShowMainForm = false;
        application.CreateForm<TDummyForm>();
        auto* form = application.CreateForm<TMainForm>();
        form->SendPingFunction = echo.Function();
        form->PingTimerTimer(form);
        if (!echo.Entered(0)) return kNeverSent;
        form->MenuExit->Click();
        application.Run();
    } // the application frees its forms, the configuration form first
    UINT faults = 0;
    if (MainForm) faults |= kFormStillReachable;
    {
        std::lock_guard lock(MonitorLock);
        if (CurrentPinger) faults |= kWorkerStillCurrent;
    }
    echo.Release(0); // the echo returns after "Exit"
    if (!echo.WorkerEnded(0)) faults |= kWorkerNeverEnded;
    if (echo.Holders() != 1) faults |= kWorkerNotFreed; // it frees itself and its copy
    std::lock_guard lock(MonitorLock);
    if (ResultReady || PingHistory[0].Status != psNone || PingHistory[0].Milliseconds != 0)
        faults |= kPublished;
    return faults;
}

class ExitChild : public ::testing::Environment {
public:
    void SetUp() override {
        if (GetEnvironmentVariableA(kExitChild, nullptr, 0))
            ExitProcess(RunTheProgramAndExitWhileAnEchoIsHeld());
    }
};
[[maybe_unused]] ::testing::Environment* const kExitChildEnvironment =
    ::testing::AddGlobalTestEnvironment(new ExitChild);
} // namespace

TEST_F(MonitorTest, ExitWhileAnEchoIsHeldEndsCleanlyAndTheLateWorkerPublishesNothing) {
    Store({{"Host", "127.0.0.1"}, {"PingFrequency", "0"}});
    DWORD code = 0;
    ASSERT_TRUE(RunCopyOfThisProgram(kExitChild, STARTUPINFOA{}, code))
        << "the program did not end";
    // A crash at exit ends the copy with its exception code instead.
    EXPECT_EQ(code & kNeverSent, 0u) << std::hex << code;
    EXPECT_EQ(code & kFormStillReachable, 0u) << std::hex << code;
    EXPECT_EQ(code & kWorkerStillCurrent, 0u) << std::hex << code;
    EXPECT_EQ(code & kWorkerNeverEnded, 0u) << std::hex << code;
    EXPECT_EQ(code & kWorkerNotFreed, 0u) << std::hex << code;
    EXPECT_EQ(code & kPublished, 0u) << std::hex << code;
    EXPECT_EQ(code, 0u) << std::hex << code;
}

TEST_F(MonitorTest, HistoryDropsItsOldestEntry) {
    Store({{"Host", "127.0.0.1"}, {"PingFrequency", "0"}});
    StartForms();
    form->SendPingFunction = [](const std::string&, int32_t) { return int32_t{0}; };
    PingHistory[1999] = {psTtlExceeded, "kept", 0};
    PingHistory[2000] = {psUnreachable, "dropped", 0};
    form->PingTimerTimer(form);
    ASSERT_TRUE(PumpUntil(ResultPublished, kLongWait));
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
    // Pinging again: the timer's own tick starts an attempt and it reports.
    EXPECT_TRUE(PumpUntil(
        [] {
            std::lock_guard lock(MonitorLock);
            return PingStartTime != 0 && CurrentPinger == nullptr;
        },
        kLongWait));
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
    form->DrawIcon();
    const HICON previous = form->TrayIcon->Icon().Handle();
    const int before = GdiObjectCount();
    ASSERT_GT(before, 0) << "no GDI handle table to count this process's objects in";
    for (int i = 0; i < 300; ++i)
        form->DrawIcon();
    // Each icon holds two bitmaps: a leak of one icon per repaint would add 600.
    EXPECT_LT(GdiObjectCount(), before + 20);
    EXPECT_EQ(IconPixels(previous).width, 0) << "the replaced icon is still alive";
    EXPECT_EQ(IconPixels(form->TrayIcon->Icon().Handle()).width, 16);
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
