// The report state of one exception and the joined report text.
#include "crashreport/core/qixExcept_Report.h"

#include <algorithm>

namespace qix {
namespace {

// Keeps a list locked for the scope; Lock also brackets a change on the exception.
class TListLock {
public:
    explicit TListLock(IQXFields& list) : list_(list) { list_.Lock(); }
    ~TListLock() { list_.Unlock(); }
    TListLock(const TListLock&) = delete;
    TListLock& operator=(const TListLock&) = delete;

private:
    IQXFields& list_;
};

// Line breaks become blanks and runs of blanks one blank.
std::string OneLine(std::string_view value) {
    std::string text;
    for (char c : value) {
        const char out = c == '\r' || c == '\n' ? ' ' : c;
        if (out == ' ' && !text.empty() && text.back() == ' ') continue;
        text += out;
    }
    return text;
}

void AppendSectionBody(std::string& out, std::string_view content) {
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = content.size();
        std::string_view line = content.substr(start, end - start);
        while (!line.empty() && static_cast<unsigned char>(line.back()) <= 32)
            line.remove_suffix(1);
        out += kCrLf;
        out += line.empty() ? std::string_view(".") : line;
        if (end < content.size() && content[end] == '\r' && end + 1 < content.size() &&
            content[end + 1] == '\n')
            ++end;
        start = end + 1;
    }
}

} // namespace

std::string JoinReportText(TIQXFields& header, TIQXFields& sections) {
    std::string out;
    {
        TListLock lock(header);
        size_t width = 0;
        for (int i = 0; i < header.ItemCount(); ++i)
            width = std::max(width, header.Item(i).size());
        for (int i = 0; i < header.ItemCount(); ++i) {
            const std::string name = header.Item(i);
            if (i > 0) out += kCrLf;
            out += name;
            out.append(width - name.size(), ' ');
            out += ": ";
            out += OneLine(header.Contents(name));
        }
    }
    TListLock lock(sections);
    for (int i = 0; i < sections.ItemCount(); ++i) {
        const std::string title = sections.Item(i);
        out += kCrLf;
        out += kCrLf;
        out += title;
        if (title.find(':') == std::string::npos) out += ':';
        AppendSectionBody(out, sections.Contents(title));
    }
    return out;
}

std::recursive_mutex& HandlerLock() {
    // Never destroyed: the library's finalisation runs after other statics are gone.
    static std::recursive_mutex& lock = *new std::recursive_mutex;
    return lock;
}

// ---- TQXReport ----

TQXReport::TQXReport(IReportBuilder& builder, bool reportWanted)
    : builder_(builder), reportWanted_(reportWanted) {}

TQXReport::~TQXReport() {
    abandoned_.store(true);
    std::lock_guard<std::recursive_mutex> guard(listsLock_);
    if (header_) header_->DetachException();
    if (sections_) sections_->DetachException();
}

std::shared_ptr<TIQXFields> TQXReport::HeaderFields() {
    std::lock_guard<std::recursive_mutex> guard(listsLock_);
    if (!header_) {
        header_ = std::make_shared<TIQXFields>();
        header_->AcceptData();
        header_->AttachException(this);
    }
    // The flag goes first: listeners told during the fill may ask for the text.
    if (reportWanted_ && !headerFilled_ && header_->ItemCount() == 0) {
        headerFilled_ = true;
        try {
            builder_.FillHeader(*header_);
        } catch (...) {
        }
    }
    return header_;
}

std::shared_ptr<TIQXFields> TQXReport::SectionFields() {
    std::lock_guard<std::recursive_mutex> guard(listsLock_);
    if (!sections_) {
        sections_ = std::make_shared<TIQXFields>();
        sections_->AcceptData();
        sections_->AttachException(this);
        try {
            builder_.PrepareSections(*sections_);
        } catch (...) {
        }
    }
    return sections_;
}

uint64_t TQXReport::ChangeCounter() const {
    std::lock_guard<std::mutex> guard(reportLock_);
    return changeCounter_;
}

std::string TQXReport::ReportText(bool mustBeComplete) {
    try {
        return BuildText(mustBeComplete);
    } catch (...) {
        return {};
    }
}

std::string TQXReport::BuildText(bool mustBeComplete) {
    {
        std::lock_guard<std::mutex> guard(reportLock_);
        if (!text_.empty() && (!mustBeComplete || complete_.load())) return text_;
        if (text_.empty() && !reportWanted_ && !mustBeComplete) return text_;
    }
    HeaderFields();
    SectionFields();
    if (mustBeComplete && !complete_.load()) {
        try {
            builder_.WaitForCompletion();
        } catch (...) {
        }
    }
    // Taken after the wait: the completion's own changes must not keep the text unstored.
    const uint64_t counter = ChangeCounter();
    std::string text;
    {
        std::shared_ptr<TIQXFields> header, sections;
        {
            std::lock_guard<std::recursive_mutex> guard(listsLock_);
            header = header_;
            sections = sections_;
        }
        // Reading the lists brackets changes; those must not count as modifications.
        text = JoinReportText(*header, *sections);
    }
    std::lock_guard<std::mutex> guard(reportLock_);
    if (changeCounter_ == counter) text_ = text;
    return text;
}

void TQXReport::SetReportText(std::string text) {
    {
        std::lock_guard<std::mutex> guard(reportLock_);
        text_ = std::move(text);
    }
    Notify();
}

void TQXReport::BeginChange() {
    changeDepth_.fetch_add(1);
}

void TQXReport::EndChange() {
    if (changeDepth_.fetch_sub(1) == 1 && dirty_.exchange(false)) MarkModified();
}

void TQXReport::Changed() {
    if (changeDepth_.load() > 0)
        dirty_.store(true);
    else
        MarkModified();
}

void TQXReport::MarkModified() {
    dirty_.store(false);
    {
        std::lock_guard<std::mutex> guard(reportLock_);
        ++changeCounter_;
        text_.clear();
    }
    Notify();
}

void TQXReport::Notify() {
    std::vector<Listener> procedures, methods;
    {
        std::lock_guard<std::recursive_mutex> guard(HandlerLock());
        procedures = procedures_;
        methods = methods_;
    }
    if (procedures.empty() && methods.empty()) return;
    const std::string text = ReportText(false);
    const bool complete = complete_.load();
    for (const Listener& listener : procedures)
        Call(listener, complete, text);
    for (const Listener& listener : methods)
        Call(listener, complete, text);
}

void TQXReport::Call(const Listener& listener, bool complete, const std::string& text) {
    // A failing listener must not stop the others, nor the change that told it.
    try {
        if (listener.callback)
            listener.callback(complete, text, *this);
        else
            listener.method(complete, text, *this);
    } catch (...) {
    }
}

void TQXReport::AddReportListener(TReportCallback callback, bool critical) {
    if (!callback) return;
    {
        std::lock_guard<std::recursive_mutex> guard(HandlerLock());
        for (Listener& listener : procedures_)
            if (listener.callback == callback) {
                listener.critical = critical;
                return;
            }
        procedures_.push_back({callback, nullptr, {}, critical});
    }
    Call({callback, nullptr, {}, critical}, complete_.load(), ReportText(false));
}

void TQXReport::AddReportListener(const void* key, TReportMethod method, bool critical) {
    if (!key || !method) return;
    {
        std::lock_guard<std::recursive_mutex> guard(HandlerLock());
        for (Listener& listener : methods_)
            if (listener.key == key) {
                listener.critical = critical;
                return;
            }
        methods_.push_back({nullptr, key, method, critical});
    }
    Call({nullptr, key, method, critical}, complete_.load(), ReportText(false));
}

void TQXReport::RemoveReportListener(TReportCallback callback) {
    std::lock_guard<std::recursive_mutex> guard(HandlerLock());
    std::erase_if(procedures_, [&](const Listener& l) { return l.callback == callback; });
}

void TQXReport::RemoveReportListener(const void* key) {
    std::lock_guard<std::recursive_mutex> guard(HandlerLock());
    std::erase_if(methods_, [&](const Listener& l) { return l.key == key; });
}

bool TQXReport::HasCriticalListener() const {
    std::lock_guard<std::recursive_mutex> guard(HandlerLock());
    const auto critical = [](const Listener& l) { return l.critical; };
    return std::any_of(procedures_.begin(), procedures_.end(), critical) ||
           std::any_of(methods_.begin(), methods_.end(), critical);
}

void TQXReport::StoreSection(std::string_view title, std::string_view content) {
    if (abandoned_.load()) return;
    BeginChange();
    try {
        SectionFields()->SetContents(title, content);
    } catch (...) {
    }
    EndChange();
}

void TQXReport::FinishSections(const std::array<uint32_t, 3>& checksums,
                               const std::vector<std::string>& qixEntries) {
    if (abandoned_.load()) return;
    BeginChange();
    try {
        std::shared_ptr<TIQXFields> header = HeaderFields();
        header->SetContents("callstack crc", CallstackCrcText(checksums));
        for (const std::string& entry : qixEntries) {
            const size_t bar = entry.find('|');
            if (bar == std::string::npos) continue;
            header->SetContents(entry.substr(0, bar) + ".qix", entry.substr(bar + 1));
        }
    } catch (...) {
    }
    complete_.store(true);
    Changed();
    EndChange();
}

} // namespace qix
