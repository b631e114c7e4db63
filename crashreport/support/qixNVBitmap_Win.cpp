// Pictures on Windows: DIB sections in memory device contexts, screen capture and
// the mouse cursor.
#include "crashreport/support/qixNVBitmap.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <vector>

namespace qix {
namespace {

class TDibSectionCanvas final : public TDibCanvas {
public:
    static std::unique_ptr<TDibSectionCanvas> Create(int32_t width, int32_t height) {
        if (width <= 0 || height <= 0 || static_cast<uint64_t>(width) * height * 4 > 0x7FFFFFFFu)
            return nullptr;
        std::unique_ptr<TDibSectionCanvas> c(new TDibSectionCanvas(width, height));
        c->MemoryDC = CreateCompatibleDC(nullptr);
        if (!c->MemoryDC) return nullptr;
        c->BitmapHandle =
            CreateDIBSection(c->MemoryDC, reinterpret_cast<const BITMAPINFO*>(&c->Header),
                             DIB_RGB_COLORS, &c->Bits, nullptr, 0);
        if (!c->BitmapHandle || !c->Bits) return nullptr;
        c->PreviousBitmap = SelectObject(c->MemoryDC, c->BitmapHandle);
        return c;
    }

    ~TDibSectionCanvas() override {
        if (MemoryDC && PreviousBitmap) SelectObject(MemoryDC, PreviousBitmap);
        if (MemoryDC) DeleteDC(MemoryDC);
        if (BitmapHandle) DeleteObject(BitmapHandle);
    }
    TDibSectionCanvas(const TDibSectionCanvas&) = delete;
    TDibSectionCanvas& operator=(const TDibSectionCanvas&) = delete;

    int32_t Width() const override { return Header.biWidth; }
    int32_t Height() const override { return Header.biHeight; }
    uint8_t* Pixels() override {
        GdiFlush(); // drawing may still be queued
        return static_cast<uint8_t*>(Bits);
    }
    bool PaintTo(TDeviceContext dc, int x, int y) override {
        return BitBlt(static_cast<HDC>(dc), x, y, Width(), Height(), MemoryDC, 0, 0, SRCCOPY) !=
               FALSE;
    }
    HDC Dc() const { return MemoryDC; }

private:
    TDibSectionCanvas(int32_t width, int32_t height) {
        Header.biSize = sizeof(BITMAPINFOHEADER);
        Header.biWidth = width;
        Header.biHeight = height; // positive: bottom-up rows
        Header.biPlanes = 1;
        Header.biBitCount = 32;
        Header.biCompression = BI_RGB;
        Header.biSizeImage = static_cast<DWORD>(width) * static_cast<DWORD>(height) * 4;
    }

    BITMAPINFOHEADER Header{};
    HBITMAP BitmapHandle = nullptr;
    HGDIOBJ PreviousBitmap = nullptr;
    HDC MemoryDC = nullptr;
    void* Bits = nullptr;
};

struct TGdiObject {
    HGDIOBJ Handle;
    explicit TGdiObject(HGDIOBJ h) : Handle(h) {}
    ~TGdiObject() {
        if (Handle) DeleteObject(Handle);
    }
    TGdiObject(const TGdiObject&) = delete;
    TGdiObject& operator=(const TGdiObject&) = delete;
};

struct TDisplayDc {
    HDC Handle = CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
    TDisplayDc() = default;
    ~TDisplayDc() {
        if (Handle) DeleteDC(Handle);
    }
    TDisplayDc(const TDisplayDc&) = delete;
    TDisplayDc& operator=(const TDisplayDc&) = delete;
};

BOOL CALLBACK CollectOwnWindow(HWND window, LPARAM param) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    RECT r;
    if (pid == GetCurrentProcessId() && IsWindowVisible(window) && !IsIconic(window) &&
        GetWindowRect(window, &r))
        reinterpret_cast<std::vector<RECT>*>(param)->push_back(r);
    return TRUE;
}

using TGetCursorInfo = BOOL(WINAPI*)(PCURSORINFO);

void DrawCursorAt(HDC canvas, int originX, int originY) {
    HCURSOR cursor = nullptr;
    bool showing = false;
    POINT pos{};
    CURSORINFO info{};
    info.cbSize = sizeof(info);
    // Looked up by name: the call is missing on the oldest systems.
    const auto getCursorInfo = reinterpret_cast<TGetCursorInfo>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetCursorInfo")));
    if (getCursorInfo && getCursorInfo(&info)) {
        cursor = info.hCursor;
        showing = (info.flags & CURSOR_SHOWING) != 0;
        pos = info.ptScreenPos;
    } else if (GetCursorPos(&pos)) {
        // The cursor belongs to the thread under it; borrow its input state briefly.
        const DWORD thread = GetWindowThreadProcessId(WindowFromPoint(pos), nullptr);
        const DWORD self = GetCurrentThreadId();
        const bool attached = thread && thread != self && AttachThreadInput(self, thread, TRUE);
        cursor = GetCursor();
        if (attached) AttachThreadInput(self, thread, FALSE);
        showing = true;
    }
    if (!cursor || !showing) return;
    ICONINFO icon{};
    if (GetIconInfo(cursor, &icon)) {
        pos.x -= static_cast<LONG>(icon.xHotspot);
        pos.y -= static_cast<LONG>(icon.yHotspot);
        TGdiObject mask(icon.hbmMask), colour(icon.hbmColor);
    }
    DrawIconEx(canvas, pos.x - originX, pos.y - originY, cursor, 0, 0, 0, nullptr, DI_NORMAL);
}

PNVBitmap CaptureArea(HDC source, int x, int y, int width, int height, bool ownWindowsOnly,
                      bool drawCursor) {
    TGdiObject region(nullptr);
    if (ownWindowsOnly) {
        std::vector<RECT> windows;
        EnumWindows(CollectOwnWindow, reinterpret_cast<LPARAM>(&windows));
        if (windows.empty()) return nullptr;
        RECT box{INT_MAX, INT_MAX, INT_MIN, INT_MIN};
        for (const RECT& r : windows) {
            box.left = std::min<LONG>(box.left, r.left - x);
            box.top = std::min<LONG>(box.top, r.top - y);
            box.right = std::max<LONG>(box.right, r.right - x);
            box.bottom = std::max<LONG>(box.bottom, r.bottom - y);
        }
        box.left = std::max<LONG>(box.left, 0);
        box.top = std::max<LONG>(box.top, 0);
        box.right = std::min<LONG>(box.right, width);
        box.bottom = std::min<LONG>(box.bottom, height);
        // Windows entirely off the screen leave nothing to show.
        if (box.right <= box.left || box.bottom <= box.top) return nullptr;
        x += box.left;
        y += box.top;
        width = box.right - box.left;
        height = box.bottom - box.top;
        // One enumeration serves both box and region, so they cannot disagree.
        region.Handle = CreateRectRgn(0, 0, 0, 0);
        if (!region.Handle) return nullptr;
        for (const RECT& r : windows) {
            TGdiObject part(CreateRectRgn(r.left - x, r.top - y, r.right - x, r.bottom - y));
            if (part.Handle)
                CombineRgn(static_cast<HRGN>(region.Handle), static_cast<HRGN>(region.Handle),
                           static_cast<HRGN>(part.Handle), RGN_OR);
        }
    }

    auto canvas = TDibSectionCanvas::Create(width, height);
    if (!canvas) return nullptr;
    HDC dc = canvas->Dc();
    if (region.Handle) {
        PatBlt(dc, 0, 0, width, height, WHITENESS);
        SelectClipRgn(dc, static_cast<HRGN>(region.Handle));
    }
    const bool copied = BitBlt(dc, 0, 0, width, height, source, x, y, SRCCOPY) != FALSE;
    if (region.Handle) SelectClipRgn(dc, nullptr);
    if (!copied) return nullptr;
    if (drawCursor) DrawCursorAt(dc, x, y);
    GdiFlush();
    return std::make_shared<TINVBitmap>(std::move(canvas));
}

} // namespace

std::unique_ptr<TDibCanvas> CreateDibCanvas(int32_t width, int32_t height) {
    return TDibSectionCanvas::Create(width, height);
}

PNVBitmap CaptureScreen(bool ownWindowsOnly) {
    TDisplayDc display;
    if (!display.Handle) return nullptr;
    int x = 0, y = 0, width, height;
    if (GetSystemMetrics(SM_CMONITORS) == 0) {
        width = GetDeviceCaps(display.Handle, HORZRES);
        height = GetDeviceCaps(display.Handle, VERTRES);
    } else {
        x = GetSystemMetrics(SM_XVIRTUALSCREEN);
        y = GetSystemMetrics(SM_YVIRTUALSCREEN);
        width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
        height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    }
    return CaptureArea(display.Handle, x, y, width, height, ownWindowsOnly, true);
}

} // namespace qix
