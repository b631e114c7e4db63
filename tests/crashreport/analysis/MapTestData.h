// Builders for the inputs of the map reader tests: a minimal PE image, FB09 tables, JDBG files.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qixtest {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
inline void Put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}
inline void Set32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// PE32 file: image base 0x400000, one code section of 0x1000 bytes at RVA 0x1000.
inline Bytes MinimalPe() {
    Bytes b(0x400, 0);
    b[0] = 'M';
    b[1] = 'Z';
    Set32(b, 0x3C, 0x40);
    Set32(b, 0x40, 0x00004550);
    const size_t fh = 0x44, opt = fh + 20;
    b[fh] = 0x4C;
    b[fh + 1] = 0x01;
    b[fh + 2] = 1;     // sections
    b[fh + 16] = 0xE0; // optional header size
    b[opt] = 0x0B;     // PE32
    b[opt + 1] = 0x01;
    Set32(b, opt + 4, 0x1000);  // SizeOfCode
    Set32(b, opt + 16, 0x1010); // entry point
    Set32(b, opt + 20, 0x1000); // BaseOfCode
    Set32(b, opt + 24, 0x2000); // BaseOfData
    Set32(b, opt + 28, 0x400000);
    Set32(b, opt + 32, 0x1000);
    Set32(b, opt + 36, 0x200);
    Set32(b, opt + 56, 0x2000); // SizeOfImage
    Set32(b, opt + 60, 0x200);  // SizeOfHeaders
    Set32(b, opt + 92, 16);
    const size_t sec = opt + 0xE0;
    const char name[8] = ".text";
    for (int i = 0; i < 8; ++i)
        b[sec + size_t(i)] = uint8_t(name[i]);
    Set32(b, sec + 8, 0x1000);
    Set32(b, sec + 12, 0x1000);
    Set32(b, sec + 16, 0x200);
    Set32(b, sec + 20, 0x200);
    Set32(b, sec + 36, 0x60000020);
    return b;
}

// FB09 debug data made of named subsections, laid out behind one directory.
class Fb09Builder {
public:
    uint32_t Name(const std::string& n) {
        names_.push_back(n);
        return uint32_t(names_.size());
    }
    void Add(uint16_t type, Bytes body) { subs_.push_back({type, std::move(body)}); }
    // Offsets inside a body are from the start of the debug data; BodyOffset tells where the
    // i-th added body will start.
    Bytes Build() const {
        Bytes nameBody;
        Put32(nameBody, uint32_t(names_.size()));
        for (const auto& n : names_) {
            nameBody.push_back(uint8_t(n.size()));
            nameBody.insert(nameBody.end(), n.begin(), n.end());
            nameBody.push_back(0);
        }
        std::vector<std::pair<uint16_t, Bytes>> all{{0x130, nameBody}};
        all.insert(all.end(), subs_.begin(), subs_.end());
        Bytes out{'F', 'B', '0', '9'};
        Put32(out, 8);
        Put16(out, 16);
        Put16(out, 12);
        Put32(out, uint32_t(all.size()));
        Put32(out, 0);
        Put32(out, 0);
        uint32_t at = uint32_t(8 + 16 + all.size() * 12);
        for (const auto& [type, body] : all) {
            Put16(out, type);
            Put16(out, 1);
            Put32(out, at);
            Put32(out, uint32_t(body.size()));
            at += uint32_t(body.size());
        }
        for (const auto& s : all)
            out.insert(out.end(), s.second.begin(), s.second.end());
        return out;
    }
    // `total`: the number of subsections Add will have been given when Build runs.
    uint32_t BodyOffset(size_t index, size_t total) const {
        uint32_t at = uint32_t(8 + 16 + (total + 1) * 12);
        at += 4;
        for (const auto& n : names_)
            at += uint32_t(n.size() + 2);
        for (size_t i = 0; i < index; ++i)
            at += uint32_t(subs_[i].second.size());
        return at;
    }

private:
    std::vector<std::string> names_;
    std::vector<std::pair<uint16_t, Bytes>> subs_;
};

// A symbol table with one module (unit) and one global procedure at 0x200..0x240.
inline Bytes Fb09OneProcedure(const std::string& unitName, const std::string& procName) {
    Fb09Builder fb;
    const uint32_t unit = fb.Name(unitName), proc = fb.Name(procName);
    Bytes mod(28, 0);
    mod[4] = 1;
    Set32(mod, 8, unit);
    Put16(mod, 0), Put16(mod, 1), Put32(mod, 0), Put32(mod, 0x200);
    fb.Add(0x120, mod);
    Bytes globals(32, 0);
    Put16(globals, 22), Put16(globals, 0x20), Put32(globals, 0), Put32(globals, 0);
    Put32(globals, proc), Put32(globals, 0), Put32(globals, 0x40), Put16(globals, 0);
    fb.Add(0x129, globals);
    return fb.Build();
}

// JDBG: tables of 7-bit varints ended by 0x7FFFFFFF, a name pool, optional checksum.
class JdbgBuilder {
public:
    // Plain names (XOR 0xAA); returns the pool index.
    uint32_t XorName(const std::string& n) {
        const uint32_t index = uint32_t(pool_.size() + 1);
        pool_.push_back(1);
        for (char c : n)
            pool_.push_back(uint8_t(c) == 0xAA ? 0xAA : uint8_t(c) ^ 0xAA);
        pool_.push_back(0);
        return index;
    }
    // Six-bit packed names; `at` prefixes "@".
    uint32_t PackedName(const std::string& n, bool at) {
        const uint32_t index = uint32_t(pool_.size() + 1);
        if (at) pool_.push_back(2);
        std::vector<unsigned> codes;
        for (char c : n)
            codes.push_back(c >= '0' && c <= '9'   ? unsigned(c - '0' + 1)
                            : c >= 'A' && c <= 'Z' ? unsigned(c - 'A' + 11)
                            : c >= 'a' && c <= 'z' ? unsigned(c - 'a' + 37)
                                                   : 63u);
        codes.push_back(0);
        while (codes.size() % 4)
            codes.push_back(0);
        for (size_t i = 0; i < codes.size(); i += 4) {
            const uint32_t v =
                codes[i] | codes[i + 1] << 6 | codes[i + 2] << 12 | codes[i + 3] << 18;
            pool_.push_back(uint8_t(v));
            pool_.push_back(uint8_t(v >> 8));
            pool_.push_back(uint8_t(v >> 16));
        }
        return index;
    }
    std::vector<uint32_t> Sources, Symbols, Lines; // deltas, in table order
    Bytes Build(bool checksum) const {
        Bytes out(36, 0);
        out[0] = 'J', out[1] = 'D', out[2] = 'B', out[3] = 'G', out[4] = 1;
        auto table = [&](const std::vector<uint32_t>& values, size_t field) {
            Set32(out, field, uint32_t(out.size()));
            std::vector<uint32_t> all = values;
            all.push_back(0x7FFFFFFF);
            for (uint32_t v : all) {
                do {
                    out.push_back(uint8_t((v & 0x7F) | (v > 0x7F ? 0x80 : 0)));
                    v >>= 7;
                } while (v);
            }
        };
        table(Sources, 9);
        table(Symbols, 13);
        table(Lines, 17);
        Set32(out, 21, uint32_t(out.size()));
        out.insert(out.end(), pool_.begin(), pool_.end());
        while (out.size() % 4)
            out.push_back(0);
        if (checksum) {
            // The stored value straddles two words; a filler word makes the sum come out right.
            const uint32_t stored = 0x5EC0DE42;
            out[33] = 1;
            Set32(out, 29, stored);
            uint32_t sum = 0;
            for (size_t p = 0; p < out.size(); p += 4)
                sum += uint32_t(out[p]) | uint32_t(out[p + 1]) << 8 | uint32_t(out[p + 2]) << 16 |
                       uint32_t(out[p + 3]) << 24;
            Put32(out, ((stored << 8) | (stored >> 24)) + stored - sum);
        }
        return out;
    }

private:
    Bytes pool_;
};

} // namespace qixtest
