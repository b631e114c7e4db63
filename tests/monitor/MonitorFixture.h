#pragma once
// Starts the monitor's two forms as the program does, against a prepared registry key.
#include "framework/Registry.h"
#include "monitor/DummyF.h"
#include "monitor/Main.h"
#include "monitor/RegConfig.h"
#include "tests/support/WinTestApp.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestApplication();
        PumpFor(10); // drops a quit request an earlier "Exit" left behind
        fw::Application->OnBeep = [this] { ++beeps; };
        fw::TRegistry().DeleteKey(ConfigKey());
        ZeroMonitorState();
    }
    void TearDown() override {
        StopForms(); // gives up a worker that is still waiting
        fw::Application->OnBeep = nullptr;
        fw::Application->OnException = nullptr;
        ZeroMonitorState();
    }
    // The monitor's state lives for the process; every test starts from it as at start-up.
    static void ZeroMonitorState() {
        std::lock_guard lock(MonitorLock);
        PingHistory.fill(TPingResult{});
        CurrentPinger = nullptr;
        ResultReady = false;
        PingStartTime = 0;
    }
    // Whether the settings key exists, without creating it.
    static bool KeyExists() {
        HKEY key = nullptr;
        const std::string path = ConfigKey().substr(1, ConfigKey().size() - 2);
        if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }
    // Values stored before the start; every test pings loopback only.
    void Store(const std::map<std::string, std::string>& values) {
        fw::TRegistry reg;
        reg.OpenKey(ConfigKey(), true);
        for (const auto& [name, value] : values)
            reg.WriteString(name, value);
    }
    std::string Stored(const std::string& name) {
        fw::TRegistry reg;
        reg.OpenKey(ConfigKey(), true);
        return reg.ValueExists(name) ? reg.ReadString(name) : "<missing>";
    }
    void StartForms() {
        dummy = fw::Application->CreateForm<TDummyForm>();
        form = fw::Application->CreateForm<TMainForm>();
    }
    void StopForms() {
        delete form; // stores the settings
        delete dummy;
        form = nullptr;
        dummy = nullptr;
    }
    void TrayMouse(UINT mouseMessage) {
        SendMessageA(form->TrayIcon->WindowHandle(), TrayCallbackMessage,
                     form->TrayIcon->Identifier(), mouseMessage);
    }

    TDummyForm* dummy = nullptr;
    TMainForm* form = nullptr;
    int beeps = 0;
};
