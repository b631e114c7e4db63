// The five sources of debug information and the order in which a module tries them.
#include "crashreport/analysis/qixMapFile.h"
#include "crashreport/analysis/qixMapInternal.h"
#include "crashreport/analysis/qixPeImage.h"
#include "crashreport/support/qixCrypt.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <zlib.h>

namespace qix {

namespace {

std::string WithoutExtension(const std::string& path) {
    const auto dot = path.rfind('.');
    const auto slash = path.find_last_of("\\/");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
    return path.substr(0, dot);
}

std::string Hex8(uint32_t v) {
    char buf[12];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

// Read-only cursor; reads past the end yield zeros and mark the stream exhausted.
class TMiniStream {
public:
    explicit TMiniStream(std::span<const uint8_t> data) : data_(data) {}
    size_t Remaining() const { return data_.size() - pos_; }
    bool Read(void* out, size_t count) {
        const size_t n = std::min(count, Remaining());
        std::memcpy(out, data_.data() + pos_, n);
        std::memset(static_cast<uint8_t*>(out) + n, 0, count - n);
        pos_ += n;
        return n == count;
    }
    int32_t ReadInt32() {
        uint8_t b[4];
        Read(b, 4);
        return int32_t(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                       uint32_t(b[3]) << 24);
    }
    int32_t ReadCompactInteger() {
        int8_t b = 0;
        Read(&b, 1);
        return b == -128 ? ReadInt32() : b;
    }
    // Keeps `name` when the stated length runs past the end.
    void ReadShortString(std::string& name) {
        uint8_t len = 0;
        Read(&len, 1);
        if (Remaining() < len) return;
        name.assign(reinterpret_cast<const char*>(data_.data() + pos_), len);
        pos_ += len;
    }

private:
    std::span<const uint8_t> data_;
    size_t pos_ = 0;
};

} // namespace

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path) {
    std::error_code ec;
    if (path.empty() || !std::filesystem::is_regular_file(path, ec)) return std::nullopt;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size > (256u << 20)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    if (size_t(in.gcount()) != bytes.size()) return std::nullopt;
    return bytes;
}

std::string MapPayloadPassword(uint32_t payloadLength) {
    char text[64];
    std::snprintf(text, sizeof text, "%s$%07X%s%08u", MapPasswordWord, payloadLength & 0xFFFFFFF,
                  MapPasswordWord, payloadLength % 100000000u);
    std::string doubled = std::string(text) + text;
    std::string password = doubled;
    OldEncrypt(password, doubled);
    return password;
}

std::string MapDataIdentification(std::span<const uint8_t> block) {
    if (block.size() < MapHeaderV3) return {};
    return "$" + Hex8(uint32_t(block.size())) + ", $" + Hex8(PeRead32(block, 22)) + ", $" +
           Hex8(PeRead32(block, 26));
}

std::vector<uint8_t> InflateMapPayload(std::span<const uint8_t> block) {
    if (block.size() < 13) return {};
    const uint32_t length = PeRead32(block, 0), crc = PeRead32(block, 8);
    // Deflate cannot expand beyond about 1032:1; a larger claim is corrupt and must not
    // allocate.
    if (length > (256u << 20) || length / 1032 > block.size()) return {};
    std::vector<uint8_t> out(length);
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return {};
    z.next_in = const_cast<Bytef*>(block.data() + 12);
    z.avail_in = uInt(block.size() - 12);
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    int rc = inflate(&z, Z_FINISH);
    // A stream that does not end exactly at the stated length is corrupt.
    if (rc != Z_STREAM_END && !(rc == Z_BUF_ERROR && z.avail_out == 0 && length == 0))
        rc = Z_DATA_ERROR;
    const bool exact = rc == Z_STREAM_END && z.total_out == length;
    inflateEnd(&z);
    if (!exact || uint32_t(crc32(0L, out.data(), uInt(out.size()))) != crc) return {};
    return out;
}

TMapFile::TMapFile(bool enabled, bool codeOnly, const TModuleSource& source) {
    if (!enabled) return;
    codeOnly_ = codeOnly;
    module_ = source.Module;
    mapFileName_ = source.FileName;
    bool ok = false;
    if (source.Image && source.Image->Valid()) {
        ok = LoadFromImage(source);
    } else {
        ok = LoadSymbolTableFile() || LoadSideFiles(false);
    }
    image_ = nullptr;
    FinishLoad(ok);
}

bool TMapFile::LoadFromImage(const TModuleSource& source) {
    const TPeImage& pe = *source.Image;
    image_ = &pe;
    baseOfCode_ = module_ + pe.CodeExtent().Begin;
    topOfCode_ = module_ + pe.CodeExtent().End;
    baseOfData_ = module_ + pe.DataExtent().Begin;
    topOfData_ = module_ + pe.DataExtent().End;
    moduleFileName_ = source.FileName;
    if (const auto block = pe.FindResource(u"QIX", u"EXCEPT"))
        if (ImportMapData(*block)) return true;
    return LoadSymbolTableFile() || LoadSideFiles(false);
}

bool TMapFile::LoadSideFiles(bool reduced) {
    const std::string base = WithoutExtension(mapFileName_);
    if (!reduced)
        if (const auto text = ReadWholeFile(base + ".map")) {
            ParseTextMap({reinterpret_cast<const char*>(text->data()), text->size()});
            return true;
        }
    if (const auto block = ReadWholeFile(base + ".qix"))
        if (ImportMapData(*block)) return true;
    if (reduced) return false;
    if (const auto jdbg = ReadWholeFile(base + ".jdbg")) return ReadJdbg(*jdbg);
    return false;
}

bool TMapFile::ImportMapData(std::span<const uint8_t> block) {
    if (block.size() < 23 || std::memcmp(block.data(), MapSignature, MapSignatureLength) != 0)
        return false;
    const uint32_t version = PeRead32(block, 18);
    if (version != 2 && version != 3) return false;
    const bool reducedBlock = version == 3 && (PeRead32(block, 30) & 1);
    if (!minDebugInfo_.empty()) {
        // Only the full block ends the search; a reduced one here would search again.
        if (reducedBlock || MapDataIdentification(block) != minDebugInfo_) return false;
        if (!ImportPayload(block, false)) return false;
        minDebugInfo_.clear();
        return true;
    }
    if (reducedBlock && image_) {
        static constexpr uint8_t marker[] = {0x0C, 'M', 'i', 'n', 'D',  'e',  'b', 'u', 'g',
                                             'I',  'n', 'f', 'o', 0x0C, 0x1F, 0,   0,   0};
        if (const auto settings = image_->FindResource(PeResourceRcData, u"TQIXEXCEPT")) {
            const auto hit = std::search(settings->begin(), settings->end(), std::begin(marker),
                                         std::end(marker));
            if (settings->end() - hit >= std::ptrdiff_t(sizeof marker + 31)) {
                minDebugInfo_.assign(reinterpret_cast<const char*>(&*hit) + sizeof marker, 31);
                if (LoadSideFiles(true)) return true;
            }
        }
    }
    if (!reducedBlock) minDebugInfo_.clear();
    return ImportPayload(block, reducedBlock);
}

bool TMapFile::ImportPayload(std::span<const uint8_t> block, bool reduced) {
    const uint32_t version = PeRead32(block, 18);
    const size_t header = version == 3 ? MapHeaderV3 : MapHeaderV2;
    const uint32_t length = PeRead32(block, 14);
    if (block.size() < header || block.size() - header < length) return false;
    std::string payload(reinterpret_cast<const char*>(block.data() + header), length);
    OldDecrypt(payload, MapPayloadPassword(length));
    const auto data =
        InflateMapPayload({reinterpret_cast<const uint8_t*>(payload.data()), payload.size()});
    if (data.empty()) return false;
    indexed_ = false;
    segments_.clear();
    publics_.clear();
    lines_.clear();
    TMiniStream in(data);
    const int32_t segCount = in.ReadInt32();
    std::string name;
    for (int32_t i = 0; i < segCount && in.Remaining() >= 8; ++i) {
        const int32_t start = in.ReadInt32();
        const uint32_t len = uint32_t(in.ReadInt32());
        uint8_t hasLines = 0;
        if (reduced) {
            in.Read(&hasLines, 1);
            name = "segment%" + std::to_string(i);
        } else {
            in.ReadShortString(name);
        }
        segments_.push_back(
            {1, true, baseOfCode_ + TAddress(intptr_t(start)), len, name, hasLines});
    }
    const int32_t pubCount = in.ReadInt32();
    TAddress address = baseOfCode_;
    for (int32_t i = 0; i < pubCount && in.Remaining() > 0; ++i) {
        if (reduced)
            name = "public%" + std::to_string(i);
        else
            in.ReadShortString(name);
        address += TAddress(intptr_t(i == 0 ? in.ReadInt32() : in.ReadCompactInteger()));
        publics_.push_back({1, true, name, address});
    }
    const int32_t lineCount = in.ReadInt32();
    if (lineCount > 0 && in.Remaining() >= 8) {
        int32_t line = in.ReadInt32();
        address = baseOfCode_ + TAddress(intptr_t(in.ReadInt32()));
        lines_.push_back({line, address});
        for (int32_t i = 1; i < lineCount && in.Remaining() > 0; ++i) {
            line = int32_t(uint32_t(line) + uint32_t(in.ReadCompactInteger())); // wraps, no UB
            address += TAddress(intptr_t(in.ReadCompactInteger()));
            lines_.push_back({line, address});
        }
    }
    if (in.Remaining() == 4) entryPoint_ = baseOfCode_ + TAddress(intptr_t(in.ReadInt32()));
    return true;
}

} // namespace qix
