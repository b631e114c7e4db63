#include "tools/qixmap/qixMapWriter.h"

#include "crashreport/analysis/qixMapFile.h"
#include "crashreport/support/qixCrypt.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <zlib.h>

namespace qix {

namespace {

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(uint8_t(v >> (8 * i)));
}

void PutCompact(std::vector<uint8_t>& out, int64_t v) {
    if (v >= -127 && v <= 127) {
        out.push_back(uint8_t(int8_t(v)));
    } else {
        out.push_back(0x80);
        Put32(out, uint32_t(int32_t(v)));
    }
}

void PutShortString(std::vector<uint8_t>& out, const std::string& s) {
    const size_t n = std::min<size_t>(s.size(), 255);
    out.push_back(uint8_t(n));
    out.insert(out.end(), s.begin(), s.begin() + std::ptrdiff_t(n));
}

} // namespace

std::vector<uint8_t> EncodeMapPayload(const TMapContent& c, bool reduced) {
    std::vector<uint8_t> out;
    Put32(out, uint32_t(c.Segments.size()));
    for (const auto& s : c.Segments) {
        Put32(out, uint32_t(s.Start));
        Put32(out, s.Length);
        if (reduced)
            out.push_back(s.HasLineInfo);
        else
            PutShortString(out, s.Unit);
    }
    Put32(out, uint32_t(c.Publics.size()));
    for (size_t i = 0; i < c.Publics.size(); ++i) {
        if (!reduced) PutShortString(out, c.Publics[i].Name);
        if (i == 0)
            Put32(out, uint32_t(c.Publics[i].Address));
        else
            PutCompact(out, int64_t(c.Publics[i].Address) - c.Publics[i - 1].Address);
    }
    Put32(out, uint32_t(c.Lines.size()));
    for (size_t i = 0; i < c.Lines.size(); ++i) {
        if (i == 0) {
            Put32(out, uint32_t(c.Lines[0].Number));
            Put32(out, uint32_t(c.Lines[0].Address));
        } else {
            PutCompact(out, int64_t(c.Lines[i].Number) - c.Lines[i - 1].Number);
            PutCompact(out, int64_t(c.Lines[i].Address) - c.Lines[i - 1].Address);
        }
    }
    if (c.EntryPoint) Put32(out, uint32_t(*c.EntryPoint));
    return out;
}

std::vector<uint8_t> CompressMapPayload(const std::vector<uint8_t>& raw) {
    std::vector<uint8_t> out;
    Put32(out, uint32_t(raw.size()));
    Put32(out, 0);
    Put32(out, uint32_t(crc32(0L, raw.data(), uInt(raw.size()))));
    z_stream z{};
    if (deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    std::vector<uint8_t> buf(deflateBound(&z, uLong(raw.size())));
    z.next_in = const_cast<Bytef*>(raw.data());
    z.avail_in = uInt(raw.size());
    z.next_out = buf.data();
    z.avail_out = uInt(buf.size());
    const int rc = deflate(&z, Z_FINISH);
    const size_t produced = z.total_out;
    deflateEnd(&z);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
    out.insert(out.end(), buf.begin(), buf.begin() + std::ptrdiff_t(produced));
    return out;
}

std::vector<uint8_t> BuildMapBlock(const std::vector<uint8_t>& compressed,
                                   const TMapBlockHeader& h) {
    std::vector<uint8_t> out(MapSignature, MapSignature + MapSignatureLength);
    Put32(out, uint32_t(compressed.size()));
    Put32(out, h.Version);
    if (h.Version == 3) {
        Put32(out, h.IdA);
        Put32(out, h.IdB);
        Put32(out, h.Flags);
    }
    std::string payload(compressed.begin(), compressed.end());
    OldEncrypt(payload, MapPayloadPassword(uint32_t(payload.size())));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<uint8_t> BuildMapBlock(const TMapContent& content, const TMapBlockHeader& h) {
    return BuildMapBlock(CompressMapPayload(EncodeMapPayload(content, h.Flags & 1)), h);
}

std::string WriteTextMap(const TMapContent& c, uint32_t codeLength) {
    std::string out;
    char buf[512];
    auto line = [&](const char* text) {
        out += text;
        out += "\r\n";
    };
    line("");
    line(" Start         Length     Name                   Class");
    std::snprintf(buf, sizeof buf, " 0001:00000000 %08XH .text                   CODE", codeLength);
    line(buf);
    line(" 0002:00000000 00000000H .data                   DATA");
    line("");
    line("");
    line("Detailed map of segments");
    line("");
    for (const auto& s : c.Segments) {
        std::snprintf(buf, sizeof buf,
                      " 0001:%08X %08X C=CODE     S=.text    G=(none)   M=%-20s ALIGN=PARA",
                      uint32_t(s.Start), s.Length, s.Unit.c_str());
        line(buf);
    }
    line("");
    line("");
    line("  Address             Publics by Value");
    line("");
    for (const auto& p : c.Publics) {
        std::string name;
        for (char ch : p.Name)
            if (ch != ' ') name += ch;
        std::snprintf(buf, sizeof buf, " 0001:%08X       %s", uint32_t(p.Address), name.c_str());
        line(buf);
    }
    line("");
    // One table per unit, its entries in address order.
    std::map<std::string, std::vector<TMapContent::Line>> perUnit;
    std::vector<std::string> order;
    for (const auto& l : c.Lines) {
        const TMapContent::Segment* seg = nullptr;
        for (const auto& s : c.Segments)
            if (l.Address >= s.Start && int64_t(l.Address) < int64_t(s.Start) + s.Length) seg = &s;
        if (!seg) continue;
        auto& v = perUnit[seg->Unit];
        if (v.empty()) order.push_back(seg->Unit);
        v.push_back(l);
    }
    for (const auto& unit : order) {
        line("");
        std::snprintf(buf, sizeof buf, "Line numbers for %s(%s) segment .text", unit.c_str(),
                      unit.c_str());
        line(buf);
        line("");
        const auto& v = perUnit[unit];
        for (size_t i = 0; i < v.size(); i += 4) {
            std::string text;
            for (size_t k = i; k < std::min(v.size(), i + 4); ++k) {
                std::snprintf(buf, sizeof buf, "%6d 0001:%08X", v[k].Number,
                              uint32_t(v[k].Address));
                text += buf;
            }
            line(text.c_str());
        }
    }
    line("");
    if (c.EntryPoint) {
        std::snprintf(buf, sizeof buf, "Program entry point at 0001:%08X", uint32_t(*c.EntryPoint));
        line(buf);
    }
    return out;
}

} // namespace qix
