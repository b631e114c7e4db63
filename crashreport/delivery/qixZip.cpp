#include "crashreport/delivery/qixZip.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <limits>
#include <new>

namespace qix {
namespace {

constexpr uint16_t kVersion = 20;
constexpr uint16_t kStored = 0;
constexpr uint16_t kDeflated = 8;
constexpr uint64_t kMaxOffset = 0xFFFFFFFFu;
constexpr size_t kMaxEntries = 0xFFFF;

void Put16(std::string& out, uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void Put32(std::string& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

struct TEntry {
    std::string Name;
    std::string Common; // bytes 4..29 of the local header, repeated in the central record
    uint32_t Attributes = 0;
    uint32_t Offset = 0;
};

std::string DefaultName(const std::string& path) {
    const size_t cut = path.find_last_of("\\/");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

[[nodiscard]] bool ReadWhole(const std::string& path, std::vector<unsigned char>& data) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    const std::streamoff size = in.tellg();
    // Sizes are 32-bit in this format; bigger files cannot be described.
    if (size < 0 || static_cast<uint64_t>(size) >= kMaxOffset) return false;
    try {
        data.assign(static_cast<size_t>(size), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    in.seekg(0);
    in.read(reinterpret_cast<char*>(data.data()), size);
    return in.gcount() == size && in.peek() == std::char_traits<char>::eof();
}

// Raw deflate into a buffer no larger than the input: if it does not fit, storing
// the bytes is both smaller and always valid.
[[nodiscard]] bool Deflate(const std::vector<unsigned char>& in, std::vector<unsigned char>& out) {
    if (in.empty()) return false;
    try {
        out.assign(in.size(), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    z_stream zs{};
    if (deflateInit2(&zs, Z_BEST_SPEED, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    zs.next_in = const_cast<Bytef*>(in.data());
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&zs, Z_FINISH);
    const size_t produced = zs.total_out;
    deflateEnd(&zs);
    if (rc != Z_STREAM_END || produced >= in.size()) return false;
    out.resize(produced);
    return true;
}

class TArchiveWriter {
public:
    explicit TArchiveWriter(const std::string& path)
        : Out(path, std::ios::binary | std::ios::trunc) {}
    bool IsOpen() const { return Out.is_open(); }
    uint64_t Position() const { return Pos; }

    [[nodiscard]] bool Write(const void* data, size_t size) {
        if (Pos + size > kMaxOffset) return false;
        Out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
        Pos += size;
        return static_cast<bool>(Out);
    }
    [[nodiscard]] bool Write(const std::string& s) { return Write(s.data(), s.size()); }
    [[nodiscard]] bool Close() {
        Out.close();
        return !Out.fail();
    }

private:
    std::ofstream Out;
    uint64_t Pos = 0;
};

// Adds one entry; false only when the archive itself cannot be written.
[[nodiscard]] bool AddEntry(TArchiveWriter& zip, const std::string& file, const std::string& name,
                            std::vector<TEntry>& entries) {
    std::vector<unsigned char> data, packed;
    TZipSourceInfo info;
    if (name.size() > 0xFFFF || entries.size() >= kMaxEntries) return true;
    if (!ReadWhole(file, data) || !QueryZipSourceInfo(file, info)) return true;

    const uLong crc = crc32(crc32(0L, Z_NULL, 0), data.data(), static_cast<uInt>(data.size()));
    const bool deflated = Deflate(data, packed);
    const std::vector<unsigned char>& body = deflated ? packed : data;

    TEntry entry;
    entry.Name = name;
    entry.Attributes = info.Attributes;
    entry.Offset = static_cast<uint32_t>(zip.Position());
    Put16(entry.Common, kVersion);
    Put16(entry.Common, 0);
    Put16(entry.Common, deflated ? kDeflated : kStored);
    Put16(entry.Common, info.DosTime);
    Put16(entry.Common, info.DosDate);
    Put32(entry.Common, static_cast<uint32_t>(crc));
    Put32(entry.Common, static_cast<uint32_t>(body.size()));
    Put32(entry.Common, static_cast<uint32_t>(data.size()));
    Put16(entry.Common, static_cast<uint32_t>(name.size()));
    Put16(entry.Common, 0);

    std::string header;
    Put32(header, 0x04034B50);
    header += entry.Common;
    if (!zip.Write(header) || !zip.Write(name) || !zip.Write(body.data(), body.size()))
        return false;
    entries.push_back(std::move(entry));
    return true;
}

[[nodiscard]] bool WriteDirectory(TArchiveWriter& zip, const std::vector<TEntry>& entries) {
    const uint64_t start = zip.Position();
    for (const TEntry& e : entries) {
        std::string rec;
        Put32(rec, 0x02014B50);
        Put16(rec, kVersion);
        rec += e.Common;
        Put16(rec, 0); // comment length
        Put16(rec, 0); // disk number start
        Put16(rec, 0); // internal attributes
        Put32(rec, e.Attributes);
        Put32(rec, e.Offset);
        if (!zip.Write(rec) || !zip.Write(e.Name)) return false;
    }
    const uint64_t size = zip.Position() - start;
    std::string end;
    Put32(end, 0x06054B50);
    Put16(end, 0);
    Put16(end, 0);
    Put16(end, static_cast<uint32_t>(entries.size()));
    Put16(end, static_cast<uint32_t>(entries.size()));
    Put32(end, static_cast<uint32_t>(size));
    Put32(end, static_cast<uint32_t>(start));
    Put16(end, 0);
    return zip.Write(end);
}

bool SameZipName(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

} // namespace

void ToDosDateTime(int year, int month, int day, int hour, int minute, int second,
                   uint16_t& dosDate, uint16_t& dosTime) {
    if (year < 1980) {
        year = 1980, month = 1, day = 1, hour = 0, minute = 0, second = 0;
    } else if (year > 2107) {
        year = 2107, month = 12, day = 31, hour = 23, minute = 59, second = 58;
    }
    dosDate = static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
    dosTime = static_cast<uint16_t>((hour << 11) | (minute << 5) | (std::min(second, 59) / 2));
}

bool WriteZipArchive(const std::string& archivePath, const std::vector<std::string>& files,
                     const std::vector<std::string>& names) {
    std::vector<TEntry> entries;
    bool ok;
    {
        TArchiveWriter zip(archivePath);
        if (!zip.IsOpen()) return false;
        ok = true;
        for (size_t i = 0; i < files.size() && ok; ++i) {
            const std::string name = i < names.size() ? names[i] : DefaultName(files[i]);
            ok = AddEntry(zip, files[i], name, entries);
        }
        ok = ok && !entries.empty() && WriteDirectory(zip, entries);
        ok = zip.Close() && ok;
    }
    if (!ok) std::remove(archivePath.c_str());
    return ok;
}

std::vector<TSendFile> PackAttachments(const std::vector<TAttachment>& attachments,
                                       const std::string& tempFolder) {
    std::vector<TSendFile> result;
    std::vector<std::string> handled;
    for (size_t i = 0; i < attachments.size(); ++i) {
        const TAttachment& a = attachments[i];
        if (a.ZipFile.empty()) {
            result.push_back({a.SourceFile, a.FieldName, a.SendAsName});
            continue;
        }
        const bool seen = std::any_of(handled.begin(), handled.end(), [&](const std::string& z) {
            return SameZipName(z, a.ZipFile);
        });
        if (seen) continue;
        handled.push_back(a.ZipFile);
        if (tempFolder.empty()) continue;

        std::vector<std::string> files, names;
        for (size_t j = i; j < attachments.size(); ++j)
            if (SameZipName(attachments[j].ZipFile, a.ZipFile)) {
                files.push_back(attachments[j].SourceFile);
                names.push_back(attachments[j].SendAsName);
            }
        std::string archive = tempFolder;
        if (archive.back() != '\\' && archive.back() != '/') archive += '/';
        archive += a.ZipFile;
        if (WriteZipArchive(archive, files, names))
            result.push_back({archive, a.ZipFile, a.ZipFile});
    }
    return result;
}

} // namespace qix
