#include "framework/Registry.h"

#include "framework/Exceptions.h"

#include <vector>

namespace fw {

namespace {
std::string Trimmed(const std::string& key) {
    size_t b = key.find_first_not_of('\\');
    if (b == std::string::npos) return {};
    size_t e = key.find_last_not_of('\\');
    return key.substr(b, e - b + 1);
}
} // namespace

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
    CloseKey();
    std::string path = Trimmed(key);
    LONG rc;
    if (canCreate)
        rc = RegCreateKeyExA(root_, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_ALL_ACCESS, nullptr, &key_, nullptr);
    else
        rc = RegOpenKeyExA(root_, path.c_str(), 0, KEY_ALL_ACCESS, &key_);
    if (rc != ERROR_SUCCESS) key_ = nullptr;
    return key_ != nullptr;
}

void TRegistry::CloseKey() {
    if (key_) RegCloseKey(key_);
    key_ = nullptr;
}

bool TRegistry::ValueExists(const std::string& name) const {
    return key_ && RegQueryValueExA(key_, name.c_str(), nullptr, nullptr, nullptr, nullptr) ==
                       ERROR_SUCCESS;
}

std::string TRegistry::ReadString(const std::string& name) const {
    DWORD type = 0, size = 0;
    if (!key_ ||
        RegQueryValueExA(key_, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return {};
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        throw ERegistryException("Invalid data type for '" + name + "'");
    std::vector<char> buf(size + 1, '\0');
    if (RegQueryValueExA(key_, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf.data()),
                         &size) != ERROR_SUCCESS)
        return {};
    return std::string(buf.data()); // stops at the terminating zero, present or not
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
    if (!key_ ||
        RegSetValueExA(key_, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1)) != ERROR_SUCCESS)
        throw ERegistryException("Failed to set data for '" + name + "'");
}

bool TRegistry::DeleteKey(const std::string& key) {
    return RegDeleteKeyA(root_, Trimmed(key).c_str()) == ERROR_SUCCESS;
}

} // namespace fw
