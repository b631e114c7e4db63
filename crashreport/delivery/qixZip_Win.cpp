// File facts for archive entries, as Windows reports them.
#include "crashreport/delivery/qixZip.h"

#include <windows.h>

namespace qix {
namespace {

struct TFileHandle {
    HANDLE Handle;
    explicit TFileHandle(HANDLE h) : Handle(h) {}
    ~TFileHandle() {
        if (Handle != INVALID_HANDLE_VALUE) CloseHandle(Handle);
    }
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;
};

} // namespace

bool QueryZipSourceInfo(const std::string& path, TZipSourceInfo& info) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    TFileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
    if (file.Handle == INVALID_HANDLE_VALUE) return false;
    FILETIME written, local;
    SYSTEMTIME st;
    if (!GetFileTime(file.Handle, nullptr, nullptr, &written) ||
        !FileTimeToLocalFileTime(&written, &local) || !FileTimeToSystemTime(&local, &st))
        return false;
    info.Attributes = attributes;
    ToDosDateTime(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, info.DosDate,
                  info.DosTime);
    return true;
}

} // namespace qix
