#include "crashreport/support/qixCrypt.h"

#include <algorithm>
#include <array>
#include <utility>

namespace qix {
namespace {

#define QIX_BF_TABLE(name, count, ...)                                                             \
    constexpr std::array<uint32_t, count> kInit##name = {__VA_ARGS__};
#include "crashreport/support/qixCryptTables.inc"
#undef QIX_BF_TABLE

constexpr int kRounds = 16;

// One key schedule, built on the caller's stack per call so no state outlives it.
struct Schedule {
    std::array<uint32_t, kRounds + 2> p;
    std::array<std::array<uint32_t, 256>, 4> s;

    uint32_t F(uint32_t x) const {
        return ((s[0][x >> 24] + s[1][(x >> 16) & 0xff]) ^ s[2][(x >> 8) & 0xff]) + s[3][x & 0xff];
    }

    void Encipher(uint32_t& l, uint32_t& r) const {
        for (int i = 0; i < kRounds; ++i) {
            l ^= p[i];
            r ^= F(l);
            std::swap(l, r);
        }
        std::swap(l, r);
        r ^= p[kRounds];
        l ^= p[kRounds + 1];
    }

    void Decipher(uint32_t& l, uint32_t& r) const {
        for (int i = kRounds + 1; i > 1; --i) {
            l ^= p[i];
            r ^= F(l);
            std::swap(l, r);
        }
        std::swap(l, r);
        r ^= p[1];
        l ^= p[0];
    }

    explicit Schedule(std::string_view key) : p(kInitP), s{kInitS0, kInitS1, kInitS2, kInitS3} {
        size_t k = 0;
        for (auto& word : p) {
            uint32_t data = 0;
            for (int b = 0; b < 4; ++b) {
                data = (data << 8) | static_cast<uint8_t>(key[k]);
                k = (k + 1) % key.size();
            }
            word ^= data;
        }
        uint32_t l = 0, r = 0;
        for (size_t i = 0; i < p.size(); i += 2) {
            Encipher(l, r);
            p[i] = l;
            p[i + 1] = r;
        }
        for (auto& box : s)
            for (size_t i = 0; i < box.size(); i += 2) {
                Encipher(l, r);
                box[i] = l;
                box[i + 1] = r;
            }
    }
};

uint32_t LoadBE(const uint8_t* b) {
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}
uint32_t LoadLE(const uint8_t* b) {
    return uint32_t(b[3]) << 24 | uint32_t(b[2]) << 16 | uint32_t(b[1]) << 8 | b[0];
}
void StoreBE(uint8_t* b, uint32_t v) {
    for (int i = 3; i >= 0; --i, v >>= 8)
        b[i] = uint8_t(v);
}
void StoreLE(uint8_t* b, uint32_t v) {
    for (int i = 0; i < 4; ++i, v >>= 8)
        b[i] = uint8_t(v);
}

void CryptBlock(const Schedule& ks, uint8_t* block, bool encipher, bool nativeOrder) {
    uint32_t l, r;
    if (nativeOrder) {
        l = LoadLE(block + 4);
        r = LoadLE(block);
    } else {
        l = LoadBE(block);
        r = LoadBE(block + 4);
    }
    if (encipher)
        ks.Encipher(l, r);
    else
        ks.Decipher(l, r);
    if (nativeOrder) {
        StoreLE(block + 4, l);
        StoreLE(block, r);
    } else {
        StoreBE(block, l);
        StoreBE(block + 4, r);
    }
}

void IncrementBigEndian(std::array<uint8_t, 8>& counter) {
    for (int i = 7; i >= 0; --i)
        if (++counter[i] != 0) break;
}

} // namespace

void CryptBuffer(void* buffer, size_t length, bool encipher, bool nativeOrder, uint32_t counterLow,
                 uint32_t counterHigh, std::string_view key) {
    const size_t blocks = length / 8;
    if (key.empty() || blocks == 0) return;
    const Schedule ks(key);
    auto* data = static_cast<uint8_t*>(buffer);
    if (counterLow == 0 && counterHigh == 0) {
        for (size_t i = 0; i < blocks; ++i)
            CryptBlock(ks, data + 8 * i, encipher, nativeOrder);
        return;
    }
    std::array<uint8_t, 8> counter;
    StoreLE(counter.data(), counterLow);
    StoreLE(counter.data() + 4, counterHigh);
    for (size_t i = 0; i < blocks; ++i) {
        IncrementBigEndian(counter);
        std::array<uint8_t, 8> stream = counter;
        CryptBlock(ks, stream.data(), true, false);
        for (int b = 0; b < 8; ++b)
            data[8 * i + b] ^= stream[b];
    }
}

void OldEncrypt(std::string& text, std::string_view key) {
    CryptBuffer(text.data(), text.size(), true, true, 0, 0, key);
}

void OldDecrypt(std::string& text, std::string_view key) {
    CryptBuffer(text.data(), text.size(), false, true, 0, 0, key);
}

void RemovePadding(std::string& text) {
    if (text.empty()) return;
    const auto p = static_cast<uint8_t>(text.back());
    // A run longer than the text is corruption, not padding: never read before its start.
    if (p < 1 || p > 8 || p > text.size()) return;
    for (size_t i = text.size() - p; i + 1 < text.size(); ++i)
        if (static_cast<uint8_t>(text[i]) != p) return;
    text.erase(text.size() - p);
}

void AddPadding(std::string& text) {
    const size_t p = 8 - text.size() % 8;
    text.append(p, static_cast<char>(p));
}

void Decrypt(std::string& text, std::string_view key, uint32_t counterLow, uint32_t counterHigh) {
    if (text.empty()) return;
    CryptBuffer(text.data(), text.size(), false, false, counterLow, counterHigh, key);
    RemovePadding(text);
}

void Encrypt(std::string& text, std::string_view key, uint32_t counterLow, uint32_t counterHigh) {
    AddPadding(text);
    CryptBuffer(text.data(), text.size(), true, false, counterLow, counterHigh, key);
}

std::string DecryptPassword(std::string_view stored, std::string_view account,
                            std::string_view server) {
    std::string text = DecodeBase64(stored);
    Decrypt(text, server, kPasswordServerCounter, 0);
    Decrypt(text, account, kPasswordAccountCounter, 0);
    return text;
}

std::string EncryptPassword(std::string_view plain, std::string_view account,
                            std::string_view server) {
    std::string text(plain);
    Encrypt(text, account, kPasswordAccountCounter, 0);
    Encrypt(text, server, kPasswordServerCounter, 0);
    return EncodeBase64(text);
}

namespace {
constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
    const size_t pos = kAlphabet.find(c);
    return pos == std::string_view::npos ? -1 : static_cast<int>(pos);
}
} // namespace

std::string EncodeBase64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t group = 0;
        for (size_t b = 0; b < 3; ++b)
            group = (group << 8) | (b < n ? static_cast<uint8_t>(bytes[i + b]) : 0);
        for (size_t c = 0; c < 4; ++c)
            out += c <= n ? kAlphabet[(group >> (18 - 6 * c)) & 0x3f] : '=';
    }
    return out;
}

std::string DecodeBase64(std::string_view text) {
    std::string out;
    if (text.empty() || text.size() % 4 != 0) return out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t group = 0;
        size_t valid = 0;
        while (valid < 4) {
            const int v = Base64Value(text[i + valid]);
            if (v < 0) break;
            group = (group << 6) | static_cast<uint32_t>(v);
            ++valid;
        }
        group <<= 6 * (4 - valid);
        // Four characters carry three bytes, three carry two, two carry one.
        const size_t bytes = valid >= 2 ? valid - 1 : 0;
        for (size_t b = 0; b < bytes; ++b)
            out += static_cast<char>((group >> (16 - 8 * b)) & 0xff);
        if (valid < 4) break;
    }
    return out;
}

} // namespace qix
