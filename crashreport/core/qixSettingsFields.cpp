#include "crashreport/core/qixSettingsFields.h"

#include "crashreport/core/qixExcept_Settings.h"

#include <algorithm>
#include <cctype>

namespace qix {
namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    if (text.empty()) return parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return parts;
}

std::string_view FileNamePart(std::string_view path) {
    const size_t slash = path.find_last_of("\\/:");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

} // namespace

bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string ReplaceNoCase(std::string text, std::string_view what, const std::string& with) {
    for (size_t i = 0; i + what.size() <= text.size();) {
        if (SameText(std::string_view(text).substr(i, what.size()), what)) {
            text.replace(i, what.size(), with);
            i += with.size();
        } else {
            ++i;
        }
    }
    return text;
}

bool IsAbsolutePath(std::string_view name) {
    return name.size() >= 3 && (name.rfind("\\\\", 0) == 0 || name[1] == ':');
}

std::string TrimControl(std::string_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= 32)
        ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32)
        --end;
    return std::string(text.substr(begin, end - begin));
}

// ---- TIQXFields ----

void TIQXFields::Lock() {
    if (IQXChangeTarget* parent = exceptionParent_.load()) parent->BeginChange();
    lock_.lock();
}

void TIQXFields::Unlock() {
    lock_.unlock();
    if (IQXChangeTarget* parent = exceptionParent_.load()) parent->EndChange();
}

void TIQXFields::SetAddPosition(int position) {
    Guard g(lock_);
    addPosition_ = position;
}

int TIQXFields::AddPosition() const {
    Guard g(lock_);
    return addPosition_;
}

int TIQXFields::ItemCount() const {
    Guard g(lock_);
    return static_cast<int>(items_.size());
}

std::string TIQXFields::Item(int index) const {
    Guard g(lock_);
    return index >= 0 && index < ItemCount() ? items_[index].name : std::string();
}

void TIQXFields::SetItem(int index, std::string_view name) {
    Change change(*this);
    Guard g(lock_);
    if (index < 0 || index >= ItemCount() || items_[index].name == name) return;
    items_[index].name = std::string(name);
    Modified();
}

int TIQXFields::FindLocked(std::string_view name) const {
    for (size_t i = 0; i < items_.size(); ++i)
        if (SameText(items_[i].name, name)) return static_cast<int>(i);
    return -1;
}

int TIQXFields::FindItem(std::string_view name) const {
    Guard g(lock_);
    return FindLocked(name);
}

std::string TIQXFields::Contents(std::string_view name) const {
    Guard g(lock_);
    const int i = FindLocked(name);
    return i < 0 ? std::string() : items_[i].content;
}

void TIQXFields::SetContents(std::string_view name, std::string_view content) {
    Change change(*this);
    Guard g(lock_);
    if (!acceptData_) return;
    std::string trimmed = TrimControl(content);
    const int i = FindLocked(name);
    if (trimmed.empty()) {
        if (i >= 0) DeleteLocked(i);
        return;
    }
    if (i >= 0) {
        if (items_[i].name == name && items_[i].content == trimmed) return;
        items_[i] = {std::string(name), std::move(trimmed)};
    } else if (addPosition_ > 0 && addPosition_ < ItemCount()) {
        items_.insert(items_.begin() + addPosition_, {std::string(name), std::move(trimmed)});
        ++addPosition_; // later additions keep their order behind this one
    } else {
        items_.push_back({std::string(name), std::move(trimmed)});
    }
    Modified();
}

void TIQXFields::Insert(int index, std::string_view name, std::string_view content) {
    Change change(*this);
    Guard g(lock_);
    std::string trimmed = TrimControl(content);
    if (!acceptData_ || trimmed.empty()) return;
    index = std::clamp(index, 0, ItemCount());
    const int existing = FindLocked(name);
    if (existing >= 0) {
        if (existing == index && items_[existing].content == trimmed) return;
        items_.erase(items_.begin() + existing);
        if (addPosition_ > 0 && addPosition_ > existing) --addPosition_;
        if (existing < index) --index;
    }
    items_.insert(items_.begin() + index, {std::string(name), std::move(trimmed)});
    if (addPosition_ > 0 && addPosition_ >= index) ++addPosition_;
    Modified();
}

void TIQXFields::Delete(int index) {
    Change change(*this);
    Guard g(lock_);
    DeleteLocked(index);
}

void TIQXFields::DeleteLocked(int index) {
    if (index < 0 || index >= ItemCount()) return;
    items_.erase(items_.begin() + index);
    if (addPosition_ > 0 && addPosition_ > index) --addPosition_;
    Modified();
}

void TIQXFields::Delete(std::string_view name) {
    Change change(*this);
    Guard g(lock_);
    DeleteLocked(FindLocked(name));
}

std::shared_ptr<IQXFields> TIQXFields::Clone() const {
    Guard g(lock_);
    auto copy = std::make_shared<TIQXFields>();
    copy->items_ = items_;
    copy->acceptData_ = true;
    return copy;
}

std::string TIQXFields::Serialize() const {
    Guard g(lock_);
    std::string out;
    for (const auto& item : items_) {
        if (!out.empty()) out += '|';
        out += item.name + "=" + item.content;
    }
    return out;
}

void TIQXFields::LoadSerialized(std::string_view text) {
    Guard g(lock_);
    items_.clear();
    for (std::string_view part : Split(text, '|')) {
        const size_t eq = part.find('=');
        if (eq == std::string_view::npos || eq == 0) continue;
        std::string content = TrimControl(part.substr(eq + 1));
        if (!content.empty()) items_.push_back({std::string(part.substr(0, eq)), content});
    }
}

void TIQXFields::Modified() {
    if (settingsParent_) (void)settingsParent_->SetPropStr("AddFields", Serialize());
    if (IQXChangeTarget* parent = exceptionParent_.load()) parent->Changed();
}

// ---- TIQXAttachments ----

int TIQXAttachments::ItemCount() const {
    Guard g(lock_);
    return static_cast<int>(items_.size());
}

bool TIQXAttachments::GetItem(int index, std::string& file, std::string& sendAs, std::string& zip,
                              std::string& field) const {
    Guard g(lock_);
    if (index < 0 || index >= ItemCount()) return false;
    const auto& item = items_[index];
    file = item.file;
    sendAs = item.sendAs;
    zip = item.zip;
    field = item.field;
    return true;
}

void TIQXAttachments::Add(std::string_view file, std::string_view sendAs, std::string_view zip,
                          std::string_view field) {
    if (file.empty()) return;
    Item_ item{std::string(file), std::string(sendAs), std::string(zip), std::string(field)};
    if (item.sendAs.empty()) item.sendAs = std::string(FileNamePart(file));
    if (item.field.empty()) item.field = item.sendAs.substr(0, item.sendAs.rfind('.'));
    Guard g(lock_);
    items_.push_back(std::move(item));
    Modified();
}

bool TIQXAttachments::Delete(std::string_view file) {
    Guard g(lock_);
    auto it = std::find_if(items_.begin(), items_.end(),
                           [&](const Item_& item) { return SameText(item.file, file); });
    if (it == items_.end()) return false;
    items_.erase(it);
    Modified();
    return true;
}

void TIQXAttachments::Clear() {
    Guard g(lock_);
    items_.clear();
    Modified();
}

std::shared_ptr<IQXAttachments> TIQXAttachments::Clone() const {
    Guard g(lock_);
    auto copy = std::make_shared<TIQXAttachments>();
    copy->items_ = items_;
    return copy;
}

std::string TIQXAttachments::Serialize() const {
    Guard g(lock_);
    std::string out;
    for (const auto& item : items_) {
        if (!out.empty()) out += '|';
        out += item.file + ">" + item.sendAs + ">" + item.zip + ">" + item.field;
    }
    return out;
}

void TIQXAttachments::LoadSerialized(std::string_view text) {
    Guard g(lock_);
    items_.clear();
    for (std::string_view part : Split(text, '|')) {
        auto fields = Split(part, '>');
        fields.resize(4);
        if (fields[0].empty()) continue;
        // The same defaults as Add, without writing back while loading.
        IQXSettings* parent = settingsParent_;
        settingsParent_ = nullptr;
        Add(fields[0], fields[1], fields[2], fields[3]);
        settingsParent_ = parent;
    }
}

void TIQXAttachments::Modified() {
    if (settingsParent_) (void)settingsParent_->SetPropStr("AddAttachs", Serialize());
}

} // namespace qix
