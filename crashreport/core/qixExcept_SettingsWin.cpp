#include "crashreport/core/qixExcept_SettingsWin.h"
#include "crashreport/analysis/qixDisAsmProcessMemory.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

namespace qix {
namespace {

constexpr char kCaption[] = "qixExcept";

struct HandleCloser {
    void operator()(HANDLE h) const {
        if (h) CloseHandle(h);
    }
};
using THandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

void ShowError(const std::string& text) {
    MessageBoxA(nullptr, text.c_str(), kCaption, MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

std::string WithProcessSuffix(const char* base) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s$%lx", base, GetCurrentProcessId());
    return buf;
}

std::string WideToAnsiCodePage(std::u16string_view text) {
    if (text.empty()) return {};
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int length = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, length, out.data(), bytes, nullptr, nullptr);
    return out;
}

// Holds the named settings mutex for one scope.
class TMutexLock {
public:
    explicit TMutexLock(HANDLE mutex) : mutex_(mutex) {
        const DWORD r = WaitForSingleObject(mutex_, INFINITE);
        owned_ = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
    }
    ~TMutexLock() {
        if (owned_) ReleaseMutex(mutex_);
    }
    TMutexLock(const TMutexLock&) = delete;
    TMutexLock& operator=(const TMutexLock&) = delete;

private:
    HANDLE mutex_;
    bool owned_ = false;
};

THandle OpenSettingsMutex() {
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE); // null DACL: every copy may open it
    SECURITY_ATTRIBUTES sa{sizeof sa, &sd, FALSE};
    return THandle(CreateMutexA(&sa, FALSE, SettingsMutexName().c_str()));
}

// Layout of the shared page; every library copy in the process sees the same one.
struct TSharedLayout {
    int32_t refCount;
    HANDLE mapping;
    CRITICAL_SECTION lock; // guards the record list and the records' counts
    TSettingsModuleRecord* first;
    int32_t reserved;
};

// One counted reference on the per-process shared settings buffer.
class TSharedSettingsBuffer : public std::enable_shared_from_this<TSharedSettingsBuffer> {
public:
    static std::shared_ptr<TSharedSettingsBuffer> Acquire() {
        THandle mutex = OpenSettingsMutex();
        if (!mutex) return Fail();
        TMutexLock hold(mutex.get());
        const std::string name = SettingsBufferName();
        HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                            sizeof(TSharedLayout), name.c_str());
        if (!mapping) mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
        if (!mapping) return Fail();
        const bool fresh = GetLastError() != ERROR_ALREADY_EXISTS;
        auto* layout = static_cast<TSharedLayout*>(
            MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(TSharedLayout)));
        if (!layout) {
            CloseHandle(mapping);
            return Fail();
        }
        if (fresh && layout->refCount == 0) {
            layout->mapping = mapping; // closed by the last release in the process
            InitializeCriticalSection(&layout->lock);
            layout->first = nullptr;
        } else {
            CloseHandle(mapping); // the view keeps the section alive
        }
        ++layout->refCount;
        return std::shared_ptr<TSharedSettingsBuffer>(new TSharedSettingsBuffer(layout));
    }

    ~TSharedSettingsBuffer() {
        THandle mutex = OpenSettingsMutex();
        TMutexLock hold(mutex.get());
        if (--layout_->refCount == 0) {
            HANDLE mapping = layout_->mapping;
            DeleteCriticalSection(&layout_->lock);
            UnmapViewOfFile(layout_);
            CloseHandle(mapping);
        } else {
            UnmapViewOfFile(layout_);
        }
    }

    // The module's record, loaded from `resource` the first time any copy asks.
    TRecordRef AcquireRecord(TModuleHandle module, std::span<const uint8_t> resource) {
        TParseResult parse;
        TSettingsModuleRecord* record = nullptr;
        EnterCriticalSection(&layout_->lock);
        for (auto* r = layout_->first; r; r = r->next)
            if (r->module == module) record = r;
        if (!record) {
            TRecordRef owned = MakeOwnedRecord(module, resource, &parse, WideToAnsiCodePage);
            record = new TSettingsModuleRecord;
            record->module = module;
            record->props = std::move(owned.get()->props);
            record->next = layout_->first;
            layout_->first = record;
        }
        ++record->refCount;
        LeaveCriticalSection(&layout_->lock);
        if (!parse.message.empty()) ShowError(parse.message);
        auto self = shared_from_this();
        return TRecordRef(record, [self](TSettingsModuleRecord* r) { self->ReleaseRecord(r); });
    }

private:
    explicit TSharedSettingsBuffer(TSharedLayout* layout) : layout_(layout) {}

    static std::shared_ptr<TSharedSettingsBuffer> Fail() {
        ShowError("internal error (opening settings buffer)");
        return nullptr;
    }

    void ReleaseRecord(TSettingsModuleRecord* record) {
        EnterCriticalSection(&layout_->lock);
        const bool last = --record->refCount == 0;
        if (last) {
            TSettingsModuleRecord** link = &layout_->first;
            while (*link && *link != record)
                link = &(*link)->next;
            if (*link) *link = record->next;
        }
        LeaveCriticalSection(&layout_->lock);
        if (last) delete record;
    }

    TSharedLayout* layout_;
};

class TWindowsEnvironment : public ISettingsEnvironment {
public:
    std::string AppFileName() const override { return qix::ModuleFileName(nullptr); }
    std::string ModuleFileName(TModuleHandle module) const override {
        return qix::ModuleFileName(reinterpret_cast<void*>(module));
    }
    TLocalTime Now() const override {
        SYSTEMTIME st;
        GetLocalTime(&st);
        return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
    }
};

std::string ReadVersionText(TModuleHandle module, int32_t offset) {
    const char* text = nullptr;
    if (!ReadOwnMemory(reinterpret_cast<const char*>(module) + offset, &text, sizeof text) || !text)
        return {};
    std::string out;
    char c;
    while (out.size() < 4096 && ReadOwnMemory(text + out.size(), &c, 1) && c)
        out += c;
    return out;
}

std::shared_ptr<TIQXSettings> LoadSettings(TModuleHandle module,
                                           std::shared_ptr<const IQXSettings> processWide) {
    auto env = WindowsSettingsEnvironment();
    TRecordRef record;
    const auto resource = FindSettingsResource(module);
    if (!resource.empty())
        if (auto buffer = TSharedSettingsBuffer::Acquire())
            record = buffer->AcquireRecord(module, resource);
    auto settings =
        std::make_shared<TIQXSettings>(env, module, std::move(record), std::move(processWide));
    if (settings->Valid())
        if (const int32_t offset = settings->VersionVar(); offset != 0)
            settings->SetVersionText(ReadVersionText(module, offset));
    return settings;
}

bool IsModuleBase(const MEMORY_BASIC_INFORMATION& mbi) {
    return mbi.State == MEM_COMMIT && mbi.Type == MEM_IMAGE &&
           mbi.BaseAddress == mbi.AllocationBase;
}

// Step 2 of FindSettings: the library's own module, then every module in address order.
std::shared_ptr<TIQXSettings>
SearchSettings(const std::shared_ptr<const IQXSettings>& processWide) {
    std::shared_ptr<TIQXSettings> best;
    auto consider = [&](TModuleHandle module) {
        if (FindSettingsResource(module).empty()) return;
        auto candidate = LoadSettings(module, processWide);
        if (!best || (best->NoSettings() && !candidate->NoSettings())) best = candidate;
    };
    consider(LibraryModule());
    MEMORY_BASIC_INFORMATION mbi;
    const char* address = nullptr;
    while ((!best || best->NoSettings()) && VirtualQuery(address, &mbi, sizeof mbi) == sizeof mbi) {
        if (IsModuleBase(mbi) &&
            reinterpret_cast<TModuleHandle>(mbi.BaseAddress) != LibraryModule())
            consider(reinterpret_cast<TModuleHandle>(mbi.BaseAddress));
        const char* next = static_cast<const char*>(mbi.BaseAddress) + mbi.RegionSize;
        if (next <= address) break;
        address = next;
    }
    return best;
}

} // namespace

std::span<const uint8_t> FindSettingsResource(TModuleHandle module) {
    auto h = reinterpret_cast<HMODULE>(module);
    HRSRC info = FindResourceA(h, "TQIXEXCEPT", MAKEINTRESOURCEA(10)); // RT_RCDATA
    if (!info) return {};
    HGLOBAL data = LoadResource(h, info);
    const DWORD size = SizeofResource(h, info);
    const void* bytes = data ? LockResource(data) : nullptr;
    if (!bytes || size == 0) return {};
    return {static_cast<const uint8_t*>(bytes), size};
}

std::shared_ptr<const ISettingsEnvironment> WindowsSettingsEnvironment() {
    return std::make_shared<TWindowsEnvironment>();
}

std::string SettingsBufferName() {
    return WithProcessSuffix("qixExceptSettingsBuf");
}
std::string SettingsMutexName() {
    return WithProcessSuffix("qixExceptSettingsMtx");
}

std::shared_ptr<IQXModuleSettings> ModuleSettings(TModuleHandle module,
                                                  std::shared_ptr<const IQXSettings> processWide) {
    return LoadSettings(module, std::move(processWide));
}

TModuleHandle LibraryModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&LibraryModule), &module);
    return reinterpret_cast<TModuleHandle>(module);
}

std::shared_ptr<IQXSettings> FindSettings(const void* address,
                                          std::shared_ptr<const IQXSettings> processWide) {
    std::shared_ptr<TIQXSettings> found;
    MEMORY_BASIC_INFORMATION mbi;
    if (VirtualQuery(address, &mbi, sizeof mbi) == sizeof mbi && mbi.State == MEM_COMMIT &&
        mbi.Type == MEM_IMAGE) {
        const auto module = reinterpret_cast<TModuleHandle>(mbi.AllocationBase);
        if (module != LibraryModule() && !FindSettingsResource(module).empty())
            found = LoadSettings(module, processWide);
    }
    if (!found || found->NoSettings()) {
        auto searched = SearchSettings(processWide);
        if (searched && (!found || (searched->Valid() && !searched->NoSettings())))
            found = searched;
    }
    if (!found) found = LoadSettings(LibraryModule(), processWide);
    return found;
}

std::shared_ptr<IQXSettings> CallerSettings(int levels,
                                            std::shared_ptr<const IQXSettings> processWide) {
    void* frame = nullptr;
    // +1 skips this function's own frame.
    if (RtlCaptureStackBackTrace(static_cast<DWORD>(levels) + 1, 1, &frame, nullptr) != 1)
        frame = nullptr;
    return FindSettings(frame, std::move(processWide));
}

} // namespace qix
