#pragma once
// Icon image that owns its handle and reports changes.
#include <windows.h>

#include <functional>

namespace fw {

class TIcon {
public:
    TIcon() = default;
    ~TIcon() { Release(); }
    TIcon(const TIcon&) = delete;
    TIcon& operator=(const TIcon&) = delete;

    HICON Handle() const { return handle_; }
    bool Empty() const { return handle_ == nullptr; }
    // Takes ownership of the handle.
    void SetHandle(HICON handle);
    // Takes a copy of the other image.
    void Assign(const TIcon& other);

    int Width = 0;
    int Height = 0;
    std::function<void()> OnChange;

private:
    void Release();
    HICON handle_ = nullptr;
};

} // namespace fw
