#include "framework/Graphics.h"

namespace fw {

void TIcon::Release() {
    if (handle_) DestroyIcon(handle_);
    handle_ = nullptr;
}

void TIcon::SetHandle(HICON handle) {
    if (handle == handle_) return;
    Release();
    handle_ = handle;
    if (OnChange) OnChange();
}

void TIcon::Assign(const TIcon& other) {
    SetHandle(other.handle_ ? CopyIcon(other.handle_) : nullptr);
}

} // namespace fw
