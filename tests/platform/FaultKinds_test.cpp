// Every kind of processor fault must reach an unhandled-exception filter with the
// code, address and access details that Windows gives; the crash reports are only
// as right as this. Each fault runs in a child process of this test, so a stack
// overflow or a misclassified fault cannot take the test itself down.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
// Addresses of the faulting instructions, labelled in the inline assembly below.
extern char qix_write_site[], qix_read_site[], qix_divide_site[], qix_int3_site[];
}

namespace {

constexpr DWORD kRaisedCode = 0xE0C0FFEE;

LONG WINAPI ReportFilter(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD& r = *info->ExceptionRecord;
    char line[160];
    const int n = std::snprintf(
        line, sizeof line, "%08lx %08lx %lu %08lx %08lx\n",
        static_cast<unsigned long>(r.ExceptionCode),
        static_cast<unsigned long>(reinterpret_cast<uintptr_t>(r.ExceptionAddress)),
        static_cast<unsigned long>(r.NumberParameters),
        static_cast<unsigned long>(r.NumberParameters > 0 ? r.ExceptionInformation[0] : 0),
        static_cast<unsigned long>(r.NumberParameters > 1 ? r.ExceptionInformation[1] : 0));
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(n), &written, nullptr);
    ExitProcess(0);
}

__attribute__((noinline)) void WriteFault() {
    asm volatile(".globl _qix_write_site\n_qix_write_site:\n movl $1, (%0)" ::"r"(0x10) : "memory");
}

__attribute__((noinline)) void ReadFault() {
    int value;
    asm volatile(".globl _qix_read_site\n_qix_read_site:\n movl (%1), %0"
                 : "=r"(value)
                 : "r"(0x20));
}

__attribute__((noinline)) void DivideFault() {
    asm volatile("xorl %%edx, %%edx\n movl $7, %%eax\n xorl %%ecx, %%ecx\n"
                 ".globl _qix_divide_site\n_qix_divide_site:\n divl %%ecx" ::
                     : "eax", "ecx", "edx");
}

__attribute__((noinline)) void Breakpoint() {
    asm volatile(".globl _qix_int3_site\n_qix_int3_site:\n int3");
}

// The depth limit is never reached (the stack is 1 MB); it keeps the compiler from
// calling the recursion infinite.
__attribute__((noinline)) int Recurse(int depth) {
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    return depth > (1 << 30) ? 0 : Recurse(depth + 1) + pad[0];
}

void RunFault(const std::string& kind) {
    SetUnhandledExceptionFilter(ReportFilter);
    if (kind == "write") WriteFault();
    if (kind == "read") ReadFault();
    if (kind == "divide") DivideFault();
    if (kind == "int3") Breakpoint();
    if (kind == "overflow") Recurse(0);
    if (kind == "raise") {
        const ULONG_PTR args[2] = {0x1234, 0x5678};
        RaiseException(kRaisedCode, 0, 2, args);
    }
    ExitProcess(3); // no fault reached the filter
}

struct Report {
    unsigned code = 0, address = 0, count = 0, info0 = 0, info1 = 0;
};

// Runs this test program with the fault kind and parses what its filter printed.
Report FaultInChild(const std::string& kind) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    EXPECT_TRUE(CreatePipe(&readEnd, &writeEnd, &sa, 0));
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string cmd = std::string("\"") + self + "\" --fault=" + kind;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi{};
    const bool started =
        CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(writeEnd);
    EXPECT_TRUE(started) << "could not start " << cmd;
    std::string out;
    char buf[256];
    DWORD got = 0;
    while (started && ReadFile(readEnd, buf, sizeof buf, &got, nullptr) && got > 0)
        out.append(buf, got);
    CloseHandle(readEnd);
    DWORD exitCode = 0;
    if (started) {
        WaitForSingleObject(pi.hProcess, 60000);
        GetExitCodeProcess(pi.hProcess, &exitCode);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    Report r;
    EXPECT_EQ(5, std::sscanf(out.c_str(), "%x %x %u %x %x", &r.code, &r.address, &r.count, &r.info0,
                             &r.info1))
        << "fault '" << kind << "' printed '" << out << "', exit code " << exitCode;
    return r;
}

unsigned Site(const char* label) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(label));
}

TEST(FaultKinds, AccessViolationsCarryAddressAndDirection) {
    const Report w = FaultInChild("write");
    EXPECT_EQ(0xC0000005u, w.code);
    EXPECT_EQ(Site(qix_write_site), w.address);
    EXPECT_EQ(2u, w.count);
    EXPECT_EQ(1u, w.info0) << "a write must be reported as a write";
    EXPECT_EQ(0x10u, w.info1);

    const Report r = FaultInChild("read");
    EXPECT_EQ(0xC0000005u, r.code);
    EXPECT_EQ(Site(qix_read_site), r.address);
    EXPECT_EQ(0u, r.info0) << "a read must be reported as a read";
    EXPECT_EQ(0x20u, r.info1);
}

TEST(FaultKinds, DivideByZeroBreakpointAndStackOverflow) {
    const Report d = FaultInChild("divide");
    EXPECT_EQ(0xC0000094u, d.code);
    EXPECT_EQ(Site(qix_divide_site), d.address);

    const Report b = FaultInChild("int3");
    EXPECT_EQ(0x80000003u, b.code);
    EXPECT_EQ(Site(qix_int3_site), b.address);

    const Report s = FaultInChild("overflow");
    EXPECT_EQ(0xC00000FDu, s.code);
    EXPECT_NE(0u, s.address);
}

TEST(FaultKinds, RaisedExceptionKeepsCodeAndArguments) {
    const Report r = FaultInChild("raise");
    EXPECT_EQ(kRaisedCode, r.code);
    EXPECT_EQ(2u, r.count);
    EXPECT_EQ(0x1234u, r.info0);
    EXPECT_EQ(0x5678u, r.info1);
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--fault=", 8) == 0) RunFault(argv[i] + 8);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
