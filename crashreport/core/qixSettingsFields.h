// The ordered name/value list (TIQXFields) and the attachment list (TIQXAttachments)
// as far as settings need them: a list tied to a settings object writes itself back
// into AddFields / AddAttachs on every change.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace qix {

class IQXSettings;

class IQXFields {
public:
    virtual ~IQXFields() = default;
    virtual void Lock() = 0; // nestable
    virtual void Unlock() = 0;
    virtual int ItemCount() const = 0;
    virtual std::string Item(int index) const = 0;
    virtual void SetItem(int index, std::string_view name) = 0;
    virtual int FindItem(std::string_view name) const = 0;
    virtual std::string Contents(std::string_view name) const = 0;
    virtual void SetContents(std::string_view name, std::string_view content) = 0;
    void Add(std::string_view name, std::string_view content) { SetContents(name, content); }
    virtual void Insert(int index, std::string_view name, std::string_view content) = 0;
    virtual void Delete(int index) = 0;
    virtual void Delete(std::string_view name) = 0;
    virtual std::shared_ptr<IQXFields> Clone() const = 0;
};

class IQXAttachments {
public:
    virtual ~IQXAttachments() = default;
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    virtual int ItemCount() const = 0;
    virtual bool GetItem(int index, std::string& file, std::string& sendAs, std::string& zip,
                         std::string& field) const = 0;
    virtual void Add(std::string_view file, std::string_view sendAs = {}, std::string_view zip = {},
                     std::string_view field = {}) = 0;
    virtual bool Delete(std::string_view file) = 0;
    virtual void Clear() = 0;
    virtual std::shared_ptr<IQXAttachments> Clone() const = 0;
};

// The exception object a header or section list belongs to: list locks bracket a
// change on it, and list changes mark it modified.
class IQXChangeTarget {
public:
    virtual ~IQXChangeTarget() = default;
    virtual void BeginChange() = 0;
    virtual void EndChange() = 0;
    virtual void Changed() = 0;
};

bool SameText(std::string_view a, std::string_view b);
// Removes characters with codes up to 32 at both ends.
std::string TrimControl(std::string_view text);
// Every occurrence of `what`, compared ignoring case, replaced by `with`.
std::string ReplaceNoCase(std::string text, std::string_view what, const std::string& with);
// A drive path (c:\dir) or a network path (\\server\share).
bool IsAbsolutePath(std::string_view name);

class TIQXFields : public IQXFields {
public:
    void Lock() override;
    void Unlock() override;
    int ItemCount() const override;
    std::string Item(int index) const override;
    void SetItem(int index, std::string_view name) override;
    int FindItem(std::string_view name) const override;
    std::string Contents(std::string_view name) const override;
    void SetContents(std::string_view name, std::string_view content) override;
    void Insert(int index, std::string_view name, std::string_view content) override;
    void Delete(int index) override;
    void Delete(std::string_view name) override;
    std::shared_ptr<IQXFields> Clone() const override;

    // Library-internal: the settings parent is not counted; it detaches before it dies.
    void AttachSettings(IQXSettings* parent) { settingsParent_ = parent; }
    void DetachSettings() { settingsParent_ = nullptr; }
    // Not counted either; the exception detaches its lists before it dies.
    void AttachException(IQXChangeTarget* parent) { exceptionParent_ = parent; }
    void DetachException() { exceptionParent_ = nullptr; }
    void SetAddPosition(int position);
    int AddPosition() const;
    void AcceptData() { acceptData_ = true; }
    // "name=content" items joined by "|": the AddFields form.
    std::string Serialize() const;
    void LoadSerialized(std::string_view text);

private:
    struct Item_ {
        std::string name, content;
    };
    // Brackets one write as a change of the exception parent, outside the list lock,
    // so listeners are told after the lock is gone.
    class Change {
    public:
        explicit Change(const TIQXFields& list) : parent_(list.exceptionParent_.load()) {
            if (parent_) parent_->BeginChange();
        }
        ~Change() {
            if (parent_) parent_->EndChange();
        }
        Change(const Change&) = delete;
        Change& operator=(const Change&) = delete;

    private:
        IQXChangeTarget* parent_;
    };
    int FindLocked(std::string_view name) const;
    void DeleteLocked(int index);
    void Modified();

    mutable std::recursive_mutex lock_;
    std::vector<Item_> items_;
    int addPosition_ = 0;
    bool acceptData_ = false;
    IQXSettings* settingsParent_ = nullptr;
    std::atomic<IQXChangeTarget*> exceptionParent_{nullptr};
};

class TIQXAttachments : public IQXAttachments {
public:
    void Lock() override { lock_.lock(); }
    void Unlock() override { lock_.unlock(); }
    int ItemCount() const override;
    bool GetItem(int index, std::string& file, std::string& sendAs, std::string& zip,
                 std::string& field) const override;
    void Add(std::string_view file, std::string_view sendAs = {}, std::string_view zip = {},
             std::string_view field = {}) override;
    bool Delete(std::string_view file) override;
    void Clear() override;
    std::shared_ptr<IQXAttachments> Clone() const override;

    void AttachSettings(IQXSettings* parent) { settingsParent_ = parent; }
    void DetachSettings() { settingsParent_ = nullptr; }
    // "file>sendAs>zip>field" items joined by "|": the AddAttachs form.
    std::string Serialize() const;
    void LoadSerialized(std::string_view text);

private:
    struct Item_ {
        std::string file, sendAs, zip, field;
    };
    void Modified();

    mutable std::recursive_mutex lock_;
    std::vector<Item_> items_;
    IQXSettings* settingsParent_ = nullptr;
};

} // namespace qix
