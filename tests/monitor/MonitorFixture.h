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
        ResetMonitorState();
    }
    void TearDown() override {
        StopForms();
        fw::Application->OnBeep = nullptr;
        fw::Application->OnException = nullptr;
        ResetMonitorState();
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
