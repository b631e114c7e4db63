#include "tests/support/WinTestApp.h"

#include <winternl.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

fw::TApplication& TestApplication() {
    static fw::TApplication* app = [] {
        auto* a = new fw::TApplication();
        a->Initialize();
        a->SetTitle("Ravelink 2");
        a->ShowMainForm = false;
        return a;
    }();
    return *app;
}

bool PumpUntil(const std::function<bool()>& condition, int timeoutMilliseconds) {
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) continue; // the test decides when to stop
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (condition && condition()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

void PumpFor(int milliseconds) {
    PumpUntil(nullptr, milliseconds);
}

bool RunCopyOfThisProgram(const char* variable, STARTUPINFOA startup, DWORD& exitCode) {
    char exe[MAX_PATH] = {};
    if (!GetModuleFileNameA(nullptr, exe, MAX_PATH)) return false;
    std::string command = std::string("\"") + exe + "\"";
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    SetEnvironmentVariableA(variable, "1");
    const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                                        nullptr, nullptr, &startup, &process);
    SetEnvironmentVariableA(variable, nullptr);
    if (!started) return false;
    const bool ended = WaitForSingleObject(process.hProcess, kLongWait) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(process.hProcess, 1);
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ended;
}

namespace {
struct Found {
    HWND dialog = nullptr;
};

BOOL CALLBACK FindDialog(HWND hwnd, LPARAM lParam) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    char cls[32] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    if (pid == GetCurrentProcessId() && IsWindowVisible(hwnd) && std::string(cls) == "#32770") {
        reinterpret_cast<Found*>(lParam)->dialog = hwnd;
        return FALSE;
    }
    return TRUE;
}

} // namespace

DialogCatcher::DialogCatcher() : thread_([this] { Watch(); }) {}

DialogCatcher::~DialogCatcher() {
    stop_ = true;
    thread_.join();
}

void DialogCatcher::Watch() {
    while (!stop_) {
        Found found;
        EnumWindows(&FindDialog, reinterpret_cast<LPARAM>(&found));
        if (found.dialog) {
            Sleep(100); // let the box finish setting itself up
            std::string caption = WindowText(found.dialog);
            // The message text is the static control with id 0xFFFF.
            std::string text = WindowText(GetDlgItem(found.dialog, 0xFFFF));
            {
                std::lock_guard lock(lock_);
                caption_ = caption;
                text_ = text;
            }
            seen_ = true;
            ++count_;
            PostMessageA(found.dialog, WM_COMMAND, IDOK, 0);
            while (!stop_ && IsWindow(found.dialog) && IsWindowVisible(found.dialog))
                Sleep(10);
        }
        Sleep(10);
    }
}

std::string DialogCatcher::Caption() const {
    std::lock_guard lock(lock_);
    return caption_;
}

std::string DialogCatcher::Text() const {
    std::lock_guard lock(lock_);
    return text_;
}

namespace {
void PutChunk(std::vector<unsigned char>& out, const char* type,
              const std::vector<unsigned char>& data) {
    auto be32 = [&](uint32_t v) {
        for (int s = 24; s >= 0; s -= 8)
            out.push_back(static_cast<unsigned char>(v >> s));
    };
    be32(static_cast<uint32_t>(data.size()));
    size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    be32(
        static_cast<uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}
} // namespace

namespace {
// 32-bit top-down device-independent bits of a bitmap or a screen area.
BITMAPINFO TopDown32(int width, int height) {
    BITMAPINFO bi{};
    bi.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    return bi;
}

TestImage FromBgrx(const std::vector<uint32_t>& bgrx, int width, int height) {
    TestImage image{width, height, {}};
    image.rgb.reserve(bgrx.size());
    for (uint32_t p : bgrx)
        image.rgb.push_back(p & 0xFFFFFFu); // BI_RGB keeps blue in the low byte, as 0xRRGGBB
    return image;
}
} // namespace

TestImage IconPixels(HICON icon) {
    ICONINFO info{};
    if (!icon || !GetIconInfo(icon, &info)) return {};
    TestImage image;
    BITMAP bm{};
    if (info.hbmColor && GetObjectA(info.hbmColor, sizeof bm, &bm)) {
        std::vector<uint32_t> bits(static_cast<size_t>(bm.bmWidth) * bm.bmHeight);
        BITMAPINFO bi = TopDown32(bm.bmWidth, bm.bmHeight);
        HDC dc = GetDC(nullptr);
        if (GetDIBits(dc, info.hbmColor, 0, static_cast<UINT>(bm.bmHeight), bits.data(), &bi,
                      DIB_RGB_COLORS))
            image = FromBgrx(bits, bm.bmWidth, bm.bmHeight);
        ReleaseDC(nullptr, dc);
    }
    if (info.hbmColor) DeleteObject(info.hbmColor);
    if (info.hbmMask) DeleteObject(info.hbmMask);
    return image;
}

TestImage CaptureWindow(HWND window) {
    RECT r{};
    if (window)
        GetWindowRect(window, &r);
    else
        r = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    const int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0) return {};
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi = TopDown32(w, h);
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const auto* px = static_cast<const uint32_t*>(bits);
    TestImage image = FromBgrx(std::vector<uint32_t>(px, px + static_cast<size_t>(w) * h), w, h);
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return image;
}

std::string SaveScreenshot(const TestImage& image, const std::string& name) {
    const int w = image.width, h = image.height;
    if (w <= 0 || h <= 0) return {};
    std::vector<unsigned char> raw;
    raw.reserve(static_cast<size_t>(h) * (w * 3 + 1));
    for (int y = 0; y < h; ++y) {
        raw.push_back(0);
        for (int x = 0; x < w; ++x) {
            const uint32_t p = image.At(x, y);
            raw.insert(raw.end(),
                       {static_cast<unsigned char>(p >> 16), static_cast<unsigned char>(p >> 8),
                        static_cast<unsigned char>(p)});
        }
    }

    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::vector<unsigned char> z(size);
    compress2(z.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 6);
    z.resize(size);
    std::vector<unsigned char> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<unsigned char> ihdr;
    for (uint32_t v : {static_cast<uint32_t>(w), static_cast<uint32_t>(h)})
        for (int s = 24; s >= 0; s -= 8)
            ihdr.push_back(static_cast<unsigned char>(v >> s));
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
    PutChunk(png, "IHDR", ihdr);
    PutChunk(png, "IDAT", z);
    PutChunk(png, "IEND", {});

    const char* dir = std::getenv("QIX_BUILD_DIR");
    // Under Wine the Unix root is drive Z:.
    std::string path =
        std::string(dir && *dir == '/' ? "Z:" : "") + (dir ? dir : ".") + "/screenshots/";
    CreateDirectoryA(path.c_str(), nullptr);
    path += name + ".png";
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(png.data(), 1, png.size(), f);
        std::fclose(f);
    }
    return path;
}

std::string SaveScreenshot(HWND window, const std::string& name) {
    return SaveScreenshot(CaptureWindow(window), name);
}

namespace {
// One row of the process's GDI handle table: where the owning process, the handle's upper
// half (its reuse count) and the object type sit; Wine leaves the owner 0. Windows' 32-bit table
// has 16-byte rows; its 64-bit table and Wine's (64-bit fields in both widths) have 24-byte rows.
struct GdiTableLayout {
    size_t rowSize, ownerOffset, upperOffset, typeOffset;
};

const unsigned char* GdiHandleTable(size_t& bytes) {
    using TQuery = LONG(WINAPI*)(HANDLE, PROCESSINFOCLASS, void*, ULONG, ULONG*);
    auto query = reinterpret_cast<TQuery>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess")));
    PROCESS_BASIC_INFORMATION info{};
    if (!query ||
        query(GetCurrentProcess(), ProcessBasicInformation, &info, sizeof info, nullptr) != 0)
        return nullptr;
    const auto* peb = reinterpret_cast<const unsigned char*>(info.PebBaseAddress);
    const size_t offset = sizeof(void*) == 8 ? 0xF8 : 0x94; // GdiSharedHandleTable
    const auto* table = *reinterpret_cast<const unsigned char* const*>(peb + offset);
    MEMORY_BASIC_INFORMATION mbi{};
    if (!table || !VirtualQuery(table, &mbi, sizeof mbi) || mbi.State != MEM_COMMIT) return nullptr;
    bytes = mbi.RegionSize -
            static_cast<size_t>(table - static_cast<const unsigned char*>(mbi.BaseAddress));
    return table;
}

uint16_t Read16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
} // namespace

std::string WindowText(HWND window) {
    char text[1024] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string WindowClass(HWND window) {
    char name[256] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

int GdiObjectCount() {
    size_t bytes = 0;
    const unsigned char* table = GdiHandleTable(bytes);
    if (!table) return -1;
    // Find the layout in which a fresh bitmap's row carries its handle's upper half.
    HBITMAP probe = CreateBitmap(1, 1, 1, 1, nullptr);
    const auto h = reinterpret_cast<uintptr_t>(probe);
    const size_t index = h & 0xFFFF;
    const auto upper = static_cast<uint16_t>(h >> 16);
    const GdiTableLayout* layout = nullptr;
    static const GdiTableLayout layouts[] = {{24, 8, 12, 14}, {16, 4, 8, 10}};
    for (const GdiTableLayout& l : layouts) {
        const size_t at = index * l.rowSize;
        if (at + l.rowSize <= bytes && Read16(table + at + l.upperOffset) == upper &&
            Read16(table + at + l.typeOffset) != 0) {
            layout = &l;
            break;
        }
    }
    DeleteObject(probe);
    if (!layout) return -1;
    // The table may be shared by the session; objects of other processes do not count.
    const auto self = static_cast<uint16_t>(GetCurrentProcessId());
    int count = 0;
    for (size_t at = 0; at + layout->rowSize <= bytes; at += layout->rowSize) {
        const uint16_t owner = Read16(table + at + layout->ownerOffset);
        count += (table[at + layout->typeOffset] & 0x7F) != 0 && (owner == 0 || owner == self);
    }
    return count;
}
