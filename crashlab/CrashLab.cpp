// crashlab [SCENARIO [FOLDER]] [--set NAME=VALUE]...: runs one scenario, its report saved
// into FOLDER; without a scenario a window offers one button per scenario. --set changes
// a setting of the embedded resource for this run (the report file, the box's buttons,
// the automatic actions, the mail address...).
#include "crashlab/CrashLabScenarios.h"

#include "crashreport/core/qixExcept_Handlers.h"
#include "crashreport/core/qixExcept_Hooks.h"
#include "crashreport/core/qixExcept_Pipeline.h"
#include "crashreport/ui/qixExceptBox.h"
#include "framework/Forms.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kFirstButton = 100;
constexpr int kButtonHeight = 26;

class TCrashLabForm : public fw::TForm {
public:
    explicit TCrashLabForm(fw::TComponent* owner) : fw::TForm(owner) {
        toolWindow_ = false;
        SetCaption("Crash lab");
        const auto& list = crashlab::Scenarios();
        SetClientSize(320, static_cast<int>(list.size()) * (kButtonHeight + 4) + 8);
        HFONT font = fw::Application->DefaultFont();
        for (size_t i = 0; i < list.size(); ++i) {
            HWND button = CreateWindowExA(
                0, "BUTTON", list[i].caption, WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 8,
                8 + static_cast<int>(i) * (kButtonHeight + 4), 304, kButtonHeight, Handle(),
                reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstButton + i)),
                GetModuleHandleA(nullptr), nullptr);
            if (font) SendMessageA(button, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        }
    }

    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override {
        if (msg == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
            const auto index = static_cast<size_t>(LOWORD(wParam)) - kFirstButton;
            const auto& list = crashlab::Scenarios();
            if (index < list.size()) list[index].run();
            return 0;
        }
        return fw::TForm::WndProc(msg, wParam, lParam);
    }
};

// ---- "costs": the steps from a fault to the report, for the timing script ----

// Wall-clock milliseconds since 1970, comparable with the report file's time.
double NowMs() {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    const uint64_t ticks = uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime;
    return double(ticks - 116444736000000000ull) / 10000.0;
}

struct TCostStamps {
    double fault = 0, created = 0, started = 0, crashedTraced = 0, machineDone = 0;
    int placeholders = -1;
};
TCostStamps g_costs;

LONG WINAPI StampFault(EXCEPTION_POINTERS*) {
    if (g_costs.fault == 0) g_costs.fault = NowMs();
    return EXCEPTION_CONTINUE_SEARCH;
}

int Count(const std::string& text, const char* what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Every change of the report: its placeholders go one by one, the crashed thread's first,
// then the machine sections, then the other threads.
void StampReport(bool complete, const std::string& text, qix::TQXReport&) {
    const double now = NowMs();
    const int left = Count(text, "will be calculated soon");
    const bool machineLeft = text.find("disassembling:\r\n>> will be") != std::string::npos ||
                             text.find("stack dump:\r\n>> will be") != std::string::npos ||
                             text.find("cpu registers:\r\n>> will be") != std::string::npos;
    if (g_costs.placeholders < 0 && left > 0) {
        g_costs.started = now;
        g_costs.placeholders = left;
    }
    if (g_costs.crashedTraced == 0 && g_costs.placeholders > 0 && left < g_costs.placeholders)
        g_costs.crashedTraced = now;
    if (g_costs.machineDone == 0 && g_costs.crashedTraced != 0 && !machineLeft)
        g_costs.machineDone = now;
    if (!complete) return;
    const TCostStamps& c = g_costs;
    std::fprintf(stderr,
                 "fault: %.3f\ncreated: %.3f\nstarted: %.3f\ncrashed traced: %.3f\n"
                 "machine sections: %.3f\ncomplete: %.3f\n",
                 c.fault, c.created, c.started, c.crashedTraced, c.machineDone, now);
    std::fflush(stderr);
}

void StampCreated(qix::IQXException& e, bool&) {
    g_costs.created = NowMs();
    e.AddReportListener(&g_costs, StampReport, false);
}

std::string FolderOf(const std::string& folder) {
    if (!folder.empty()) return folder;
    char exe[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string path = exe;
    return path.substr(0, path.find_last_of("\\/")) + "\\crashlab-reports";
}

// A setting by name: its type decides which of the three writes takes it.
bool ApplySetting(qix::IQXSettings& settings, const std::string& assignment) {
    const size_t eq = assignment.find('=');
    if (eq == std::string::npos) return false;
    const std::string name = assignment.substr(0, eq), value = assignment.substr(eq + 1);
    if (value == "true" || value == "false") return settings.SetPropBool(name, value == "true");
    char* end = nullptr;
    const long number = std::strtol(value.c_str(), &end, 10);
    if (!value.empty() && end && *end == '\0')
        return settings.SetPropInt(name, static_cast<int32_t>(number)) ||
               settings.SetPropBool(name, number != 0) || settings.SetPropStr(name, value);
    return settings.SetPropStr(name, value);
}

// A restarted lab writes down the exception times its predecessor handed over.
void NoteHandOver(const std::string& folder) {
    const auto times = qix::ExceptionTimes();
    if (times[0] == 0) return;
    std::string text;
    for (int64_t t : times)
        if (t) text += std::to_string(t) + "\r\n";
    const std::string name = folder + "\\crashlab-handover.txt";
    HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    std::vector<std::string> positional, assignments;
    for (int i = 1; i < __argc; ++i) {
        const std::string arg = __argv[i];
        if (arg == "--set" && i + 1 < __argc)
            assignments.push_back(__argv[++i]);
        else
            positional.push_back(arg);
    }
    const std::string scenario = positional.size() > 0 ? positional[0] : "";
    const std::string folder = FolderOf(positional.size() > 1 ? positional[1] : "");
    if (auto settings = qix::ProcessSettings()) {
        (void)settings->SetBugRepFile(folder + "\\crashlab-" +
                                      (scenario.empty() ? "window" : scenario) + ".txt");
        for (const std::string& assignment : assignments)
            if (!ApplySetting(*settings, assignment))
                std::fprintf(stderr, "crashlab: setting not taken: %s\n", assignment.c_str());
    }
    // The settings decide whether it shows (GnShowCfg 4: never).
    qix::InstallExceptionBox();
    NoteHandOver(folder);
    fw::TApplication application;
    application.Initialize();
    application.SetTitle("Crash lab");
    if (scenario == "state") // the library's state and whether its hooks are in
        return static_cast<int>(qix::LibraryState()) + (qix::HooksInstalled() ? 10 : 0);
    if (scenario == "loop") {
        // The timing script's emulation yardstick: the same loop runs natively there.
        const long long begin = qix::CounterMilliseconds();
        volatile unsigned sum = 0;
        for (unsigned i = 0; i < 200000000u; ++i)
            sum = sum + i;
        std::fprintf(stderr, "loop: %lld ms\n", qix::CounterMilliseconds() - begin);
        return 0;
    }
    if (scenario == "measure") {
        // For the timing script: the library's start-up until here, and private memory.
        unsigned long long privateBytes = 0;
        MEMORY_BASIC_INFORMATION mbi{};
        for (auto* p = static_cast<const char*>(nullptr);
             VirtualQuery(p, &mbi, sizeof mbi) == sizeof mbi; p += mbi.RegionSize) {
            if (mbi.State == MEM_COMMIT && mbi.Type == MEM_PRIVATE) {
                privateBytes += mbi.RegionSize;
                // The big ones, for telling stacks, heaps and reserves apart.
                if (mbi.RegionSize >= (256u << 10))
                    std::fprintf(stderr, "region: %p %lu KB protect %lx\n", mbi.BaseAddress,
                                 static_cast<unsigned long>(mbi.RegionSize >> 10),
                                 static_cast<unsigned long>(mbi.Protect));
            }
            if (p + mbi.RegionSize < p) break;
        }
        const long long startup = qix::ProgramStartMilliseconds()
                                      ? qix::CounterMilliseconds() - qix::ProgramStartMilliseconds()
                                      : -1;
        std::fprintf(stderr, "start-up to main: %lld ms\nprivate bytes: %llu\n", startup,
                     privateBytes);
        return 0;
    }
    if (scenario == "costs") {
        // A write access violation like the scenario's, with the steps stamped.
        AddVectoredExceptionHandler(1, StampFault);
        qix::RegisterExceptionHandler(StampCreated, qix::kSyncNone, 1);
        if (auto settings = qix::ProcessSettings())
            (void)settings->SetBugRepFile(folder + "\\crashlab-costs.txt");
        return crashlab::RunScenario("write-av") ? 0 : 2;
    }
    if (!scenario.empty()) {
        // A scenario whose report closes the program never returns here.
        return crashlab::RunScenario(scenario) ? 0 : 2;
    }
    application.CreateForm<TCrashLabForm>();
    application.Run();
    return 0;
}
