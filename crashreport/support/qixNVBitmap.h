// Screenshots and pictures for bug reports: capture, BMP and small palette PNGs,
// scaled previews.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace qix {

using TDeviceContext = void*; // an HDC on Windows

class INVBitmap;
using PNVBitmap = std::shared_ptr<INVBitmap>; // the last reference frees the picture

class INVBitmap {
public:
    virtual ~INVBitmap() = default;
    virtual int32_t Width() const = 0;
    virtual int32_t Height() const = 0;
    virtual bool PaintTo(TDeviceContext dc, int x, int y) = 0;
    virtual std::string BmpData() = 0;
    // Mode 0 colour, 1 grey, 2..5 colour or, above 50, 100, 200 or 300 KiB, the shorter
    // of colour and grey; other values act as 0. Empty on failure.
    virtual std::string PngData(int mode) = 0;
    virtual bool WriteBmpFile(const std::string& path) = 0;
    virtual bool WritePngFile(const std::string& path, int mode) = 0;
    // Fits the picture into the box, keeping its aspect ratio; null on failure.
    virtual PNVBitmap ScaledCopy(int32_t boxWidth, int32_t boxHeight) = 0;
};

// The pixel store of a picture: a 32-bit bottom-up DIB section on Windows, plain memory
// elsewhere.
class TDibCanvas {
public:
    virtual ~TDibCanvas() = default;
    virtual int32_t Width() const = 0;
    virtual int32_t Height() const = 0;
    virtual uint8_t* Pixels() = 0;
    virtual bool PaintTo(TDeviceContext dc, int x, int y) = 0;
};

// Null when the size is not positive or the store cannot be made.
std::unique_ptr<TDibCanvas> CreateDibCanvas(int32_t width, int32_t height);

class TINVBitmap final : public INVBitmap {
public:
    explicit TINVBitmap(std::unique_ptr<TDibCanvas> canvas);

    int32_t Width() const override { return Canvas->Width(); }
    int32_t Height() const override { return Canvas->Height(); }
    bool PaintTo(TDeviceContext dc, int x, int y) override { return Canvas->PaintTo(dc, x, y); }
    std::string BmpData() override;
    std::string PngData(int mode) override;
    bool WriteBmpFile(const std::string& path) override;
    bool WritePngFile(const std::string& path, int mode) override;
    PNVBitmap ScaledCopy(int32_t boxWidth, int32_t boxHeight) override;

    uint8_t* Pixels() { return Canvas->Pixels(); }
    TDibCanvas& DibCanvas() { return *Canvas; }
    const std::array<uint8_t, 40>& Header() const { return InfoHeader; }

private:
    std::unique_ptr<TDibCanvas> Canvas;
    std::array<uint8_t, 40> InfoHeader;
};

// Reads a BMP file into a new 32-bit picture; null for anything unreadable.
PNVBitmap LoadBmpFile(const std::string& path);

#ifdef _WIN32
// The whole virtual screen, or the bounding box of the process's visible windows with
// everything outside them white; the mouse cursor is drawn in. Null on failure.
PNVBitmap CaptureScreen(bool ownWindowsOnly);
#endif

} // namespace qix
