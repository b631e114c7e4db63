// Reading stops at the first fault; everything read before it is kept, so a form built
// from a damaged description still has the items in front of the damage.
#include "crashreport/ui/qixNVAssistant_Stream.h"

#include <cstdio>

namespace qix {
namespace {

class TReader {
public:
    explicit TReader(std::span<const uint8_t> data) : data_(data) {}

    TNVStreamStatus status = TNVStreamStatus::Ok;
    uint8_t badType = 0;

    bool Ok() const { return status == TNVStreamStatus::Ok; }

    bool Byte(uint8_t& out) {
        if (!Need(1)) return false;
        out = data_[pos_++];
        return true;
    }
    bool Bytes(size_t n, std::string& out) {
        if (!Need(n)) return false;
        out.assign(reinterpret_cast<const char*>(data_.data() + pos_), n);
        pos_ += n;
        return true;
    }
    bool ShortString(std::string& out) {
        uint8_t n = 0;
        return Byte(n) && Bytes(n, out);
    }
    bool Le(int size, uint32_t& out) {
        if (!Need(static_cast<size_t>(size))) return false;
        out = 0;
        for (int i = 0; i < size; ++i)
            out |= static_cast<uint32_t>(data_[pos_ + static_cast<size_t>(i)]) << (8 * i);
        pos_ += static_cast<size_t>(size);
        return true;
    }
    // Peeks for the end marker of a list and takes it.
    bool EndOfList(bool& end) {
        if (!Need(1)) return false;
        end = data_[pos_] == 0;
        if (end) ++pos_;
        return true;
    }

private:
    bool Need(size_t n) {
        if (data_.size() - pos_ >= n) return true;
        status = TNVStreamStatus::Truncated;
        return false;
    }
    std::span<const uint8_t> data_;
    size_t pos_ = 0;
};

bool ReadValue(TReader& r, std::string& value) {
    uint8_t type = 0;
    if (!r.Byte(type)) return false;
    uint32_t u = 0;
    switch (type) {
    case 2:
        if (!r.Le(1, u)) return false;
        value = std::to_string(static_cast<int8_t>(u));
        return true;
    case 3:
        if (!r.Le(2, u)) return false;
        value = std::to_string(static_cast<int16_t>(u));
        return true;
    case 4:
        if (!r.Le(4, u)) return false;
        value = std::to_string(static_cast<int32_t>(u));
        return true;
    case 6:
    case 7:
        return r.ShortString(value);
    case 8:
        value = "0";
        return true;
    case 9:
        value = "1";
        return true;
    case 12:
        return r.Le(4, u) && r.Bytes(u, value);
    default:
        r.status = TNVStreamStatus::InvalidType;
        r.badType = type;
        return false;
    }
}

bool ReadObject(TReader& r, TNVStreamObject& obj, int depth) {
    if (depth > kMaxStreamDepth) {
        r.status = TNVStreamStatus::TooDeep;
        return false;
    }
    if (!r.ShortString(obj.className) || !r.ShortString(obj.name)) return false;
    for (bool end = false;;) {
        if (!r.EndOfList(end)) return false;
        if (end) break;
        std::pair<std::string, std::string> prop;
        if (!r.ShortString(prop.first)) return false;
        const bool ok = ReadValue(r, prop.second);
        if (!ok) return false;
        obj.props.push_back(std::move(prop));
    }
    for (bool end = false;;) {
        if (!r.EndOfList(end)) return false;
        if (end) break;
        obj.children.emplace_back();
        if (!ReadObject(r, obj.children.back(), depth + 1)) return false;
    }
    return true;
}

std::string Message(const TReader& r) {
    char hex[8];
    switch (r.status) {
    case TNVStreamStatus::InvalidType:
        std::snprintf(hex, sizeof hex, "%x", r.badType);
        return std::string("Internal error: Invalid assistant resource (") + hex + ").";
    case TNVStreamStatus::Truncated:
        return "Internal error: Invalid assistant resource (truncated).";
    case TNVStreamStatus::TooDeep:
        return "Internal error: Invalid assistant resource (nested too deeply).";
    default:
        return {};
    }
}

} // namespace

TNVStreamResult ParseFormStream(std::span<const uint8_t> data) {
    TNVStreamResult result;
    if (data.size() < 4 || data[0] != 'T' || data[1] != 'P' || data[2] != 'F' || data[3] != '0') {
        result.status = TNVStreamStatus::NoSignature;
        return result;
    }
    TReader r(data.subspan(4));
    ReadObject(r, result.root, 0);
    result.status = r.status;
    result.message = Message(r);
    return result;
}

} // namespace qix
