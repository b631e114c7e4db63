#pragma once
// Registry access with one open key at a time, closed with the object.
#include <windows.h>

#include <string>

namespace fw {

class TRegistry {
public:
    explicit TRegistry(HKEY root = HKEY_CURRENT_USER) : root_(root) {}
    ~TRegistry() { CloseKey(); }
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    // A leading backslash names the key from the root; it is created when asked.
    bool OpenKey(const std::string& key, bool canCreate);
    void CloseKey();
    bool ValueExists(const std::string& name) const;
    // Raises "Invalid data type for '<name>'" unless the value is a (expandable) string.
    std::string ReadString(const std::string& name) const;
    // Raises "Failed to set data for '<name>'" when the value cannot be written.
    void WriteString(const std::string& name, const std::string& value);
    bool DeleteKey(const std::string& key);

private:
    HKEY root_;
    HKEY key_ = nullptr;
};

} // namespace fw
