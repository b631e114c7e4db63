#include "tests/support/WinTestApp.h"

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

std::string WindowText(HWND hwnd) {
    char buf[1024] = {};
    GetWindowTextA(hwnd, buf, sizeof buf);
    return buf;
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

std::string SaveScreenshot(HWND window, const std::string& name) {
    RECT r{};
    if (window)
        GetWindowRect(window, &r);
    else
        r = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    const int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0) return {};
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    std::vector<unsigned char> raw;
    raw.reserve(static_cast<size_t>(h) * (w * 3 + 1));
    auto* px = static_cast<const unsigned char*>(bits);
    for (int y = 0; y < h; ++y) {
        raw.push_back(0);
        for (int x = 0; x < w; ++x) {
            const unsigned char* p = px + (static_cast<size_t>(y) * w + x) * 4;
            raw.insert(raw.end(), {p[2], p[1], p[0]});
        }
    }
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);

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
