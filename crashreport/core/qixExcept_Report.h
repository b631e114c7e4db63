// Bug report composition: the header lines computed from what the Windows side
// gathered about the machine and the process, the raised object's class and message,
// and the report state of one exception (header and section lists, change counter,
// stored text, listeners, completion). Windows-free.
#pragma once

#include "crashreport/core/qixExcept_Settings.h"
#include "crashreport/core/qixSettingsFields.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qix {

enum class TReportKind : uint8_t { Exception = 0, Freeze = 1, Hidden = 2 };

inline constexpr const char* kCrLf = "\r\n";
inline constexpr const char* kQixExceptVersion = "3.0b";

// ---- number and time texts ----

// "$" and lower-case hex digits, zero-padded to `width`.
std::string HexDollar(uint64_t value, int width = 1);
// 8 lower-case hex digits without prefix: addresses in sections.
std::string Hex8(uint32_t value);
// The parts of a "|"-separated setting, empty ones included.
std::vector<std::string_view> SplitBar(std::string_view text);
// "2026-12-06, 14:03:02, 7ms"
std::string ReportDateTimeText(const TLocalTime& time);
// "2026-12-01 09:30"
std::string FileDateTimeText(const TLocalTime& time);
// Two units at most ("1 day 3 hours", "5 minutes 1 second"); 0 or less gives "".
std::string UpTimeText(int64_t seconds);
// "512 Bytes", "1,50 KB", ...; `decimalSeparator` from the thread locale.
std::string SizeText(uint64_t bytes, std::string_view decimalSeparator = ",");

// Platform ids as the version query reports them.
inline constexpr uint32_t kPlatformWin9x = 1;
inline constexpr uint32_t kPlatformNT = 2;
std::string OsName(uint32_t platformId, uint32_t major, uint32_t minor, uint32_t build);

// ---- what the Windows side gathers for the header ----

struct TOsVersion {
    uint32_t platformId = 0, major = 0, minor = 0, build = 0;
    std::string servicePack;
};

struct TDiskSpace {
    char drive = 0; // 0: a UNC path, which gives no text
    uint64_t freeBytes = 0;
};

struct TDisplayMode {
    uint32_t width = 0, height = 0, bitsPerPixel = 0, planes = 1;
};

using TFileVersion = std::array<uint16_t, 4>;

// Every value is optional: an empty optional is one whose query failed (or that does
// not apply, such as the remote-desktop client name outside such a session); its line
// is left out. A present but empty text is a line collected with an empty value.
// Declare locals with {}: GCC 12 at -O2 sees the optional strings as uninitialised
// otherwise.
struct TReportSystemInfo {
    std::optional<TLocalTime> now;
    std::optional<std::string> computerName;
    std::optional<std::string> wtsClientName;
    std::optional<std::string> userName;
    bool userIsAdmin = false;
    std::optional<TOsVersion> os;
    std::optional<std::string> systemLanguage;
    std::optional<std::pair<int64_t, int64_t>> performanceCounter; // counter, frequency
    std::optional<int64_t> programMilliseconds;                    // since library start-up
    std::optional<std::string> processorName;
    int processorCount = 1;
    std::optional<std::pair<uint64_t, uint64_t>> physicalMemory; // free, total bytes
    std::optional<std::pair<int, int>> freeResources;            // 9x family: gdi, user percent
    std::optional<TDiskSpace> windowsDisk;
    std::optional<TDiskSpace> executableDisk; // only when on another drive
    std::optional<TDisplayMode> display;
    std::optional<uint32_t> processId;
    std::optional<uint64_t> allocatedBytes;
    std::optional<std::string> commandLine; // only when there is a parameter
    std::optional<std::string> executablePath;
    std::optional<std::string> currentModule; // only when the library is in a DLL
    std::optional<TLocalTime> fileTime;
    bool fileTimeOfExecutable = true;
    std::optional<std::string> versionVar;
    std::optional<TFileVersion> fileVersion;
    std::optional<TFileVersion> bdeVersion; // only when idapi32.dll is loaded
    std::string decimalSeparator = ",";
};

// ---- the raised object ----

// The raised object as the Windows side could read it. `classChain` runs from the
// object's own class to its root.
struct TRaisedObjectInfo {
    bool present = false;
    std::vector<std::string> classChain;
    std::optional<std::string> message; // from an exception class's message field
};

// Whether a read object may be used as the exception object: a chain of class names
// that look like names (bounded length, printable, no control characters).
bool PassesValidityTest(const TRaisedObjectInfo& object);
// "Unknown" without a usable object.
std::string ObjectClassName(const TRaisedObjectInfo& object);
std::string RawObjectMessage(const TRaisedObjectInfo& object);
// The raw message ended with exactly one ".".
std::string FormatObjectMessage(std::string_view rawMessage);

// ---- header ----

struct TReportPlugin {
    std::string name;
    bool isSection = false;
    std::function<std::string()> text;
};

struct THeaderInput {
    TReportKind kind = TReportKind::Exception;
    TRaisedObjectInfo object;
    std::string frozenMessage; // expanded FrozenMsg
    std::string pluginsSetting;
    std::vector<TReportPlugin> plugins; // the registered ones
};

using THeaderLine = std::pair<std::string, std::string>;

struct THeaderLines {
    std::vector<THeaderLine> lines; // collected, empty values included
    int addPosition = 0;
};

class TExceptionCounter {
public:
    uint64_t Next() { return ++value_; }

private:
    std::atomic<uint64_t> value_{0};
};
// The one counter of the process ("exception number").
TExceptionCounter& ProcessExceptionCounter();

// Collects the header lines in their order; each value under its own guard.
THeaderLines ComposeHeaderLines(const TReportSystemInfo& system, const THeaderInput& input,
                                TExceptionCounter& counter);
// Stores them (empty values skipped) under the list's lock and sets its add position.
void StoreHeaderLines(TIQXFields& header, const THeaderLines& lines);

// "$0a1b2c3d, $00000000, $ffffffff"
std::string CallstackCrcText(const std::array<uint32_t, 3>& checksums);

// ---- the report text ----

// Header lines padded to the longest name, then "\r\n\r\n" and each section.
std::string JoinReportText(TIQXFields& header, TIQXFields& sections);

// ---- the report state of one exception ----

class TQXReport;
using TReportCallback = void (*)(bool complete, const std::string& text, TQXReport& report);
using TReportMethod = std::function<void(bool complete, const std::string& text, TQXReport&)>;

// What the exception object does for the report: compute the header and the
// sections (placeholders, and the completion thread), and wait for the completion.
class IReportBuilder {
public:
    virtual ~IReportBuilder() = default;
    virtual void FillHeader(TIQXFields& header) = 0;
    virtual void PrepareSections(TIQXFields& sections) = 0;
    // Returns once the report is complete or cannot become so.
    virtual void WaitForCompletion() = 0;
};

// The process-wide handler lock: handler lists and report listeners.
std::recursive_mutex& HandlerLock();

class TQXReport final : public IQXChangeTarget {
public:
    explicit TQXReport(IReportBuilder& builder, bool reportWanted = true);
    ~TQXReport() override;
    TQXReport(const TQXReport&) = delete;
    TQXReport& operator=(const TQXReport&) = delete;

    std::shared_ptr<TIQXFields> HeaderFields();
    std::shared_ptr<TIQXFields> SectionFields();
    std::string ReportText(bool mustBeComplete);
    std::string CompleteReport() { return ReportText(true); }
    void SetReportText(std::string text);
    bool IsComplete() const { return complete_.load(); }
    uint64_t ChangeCounter() const;

    void BeginChange() override;
    void EndChange() override;
    void Changed() override;

    // An already registered listener only gets its critical flag updated; a new one is
    // called at once.
    void AddReportListener(TReportCallback callback, bool critical);
    // `key` identifies a method listener (the object it belongs to).
    void AddReportListener(const void* key, TReportMethod method, bool critical);
    void RemoveReportListener(TReportCallback callback);
    void RemoveReportListener(const void* key);
    bool HasCriticalListener() const;

    // One finished section; with `last`, the checksums and ".qix" lines (name|value)
    // go into the header and the report becomes complete.
    void StoreSection(std::string_view title, std::string_view content);
    void FinishSections(const std::array<uint32_t, 3>& checksums,
                        const std::vector<std::string>& qixEntries);
    // Set when the exception is being destroyed: completions are ignored from then on.
    void Abandon() { abandoned_.store(true); }

private:
    struct Listener {
        TReportCallback callback = nullptr;
        const void* key = nullptr;
        TReportMethod method;
        bool critical = false;
    };
    void MarkModified();
    void Notify();
    void Call(const Listener& listener, bool complete, const std::string& text);
    std::string BuildText(bool mustBeComplete);

    IReportBuilder& builder_;
    const bool reportWanted_;
    std::recursive_mutex listsLock_;
    std::shared_ptr<TIQXFields> header_, sections_;
    bool headerFilled_ = false;
    mutable std::mutex reportLock_;
    uint64_t changeCounter_ = 0;
    std::string text_;
    std::atomic<int> changeDepth_{0};
    std::atomic<bool> dirty_{false};
    std::atomic<bool> complete_{false};
    std::atomic<bool> abandoned_{false};
    std::vector<Listener> procedures_, methods_;
};

} // namespace qix
