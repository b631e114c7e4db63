// Zip archives for attachments that travel packed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qix {

// What an entry needs to know about its source file beyond the bytes.
struct TZipSourceInfo {
    uint32_t Attributes = 0; // the platform's file attributes (0x20: archive)
    uint16_t DosTime = 0;
    uint16_t DosDate = 0;
};

// Platform part: attributes and local last-write time of a file.
[[nodiscard]] bool QueryZipSourceInfo(const std::string& path, TZipSourceInfo& info);

// Local broken-down time to the DOS format; years outside 1980..2107 are clamped,
// because the format cannot hold them and wrapped values would date a file wrongly.
void ToDosDateTime(int year, int month, int day, int hour, int minute, int second,
                   uint16_t& dosDate, uint16_t& dosTime);

// One entry per readable file, named Names[i] or after the file. True when the archive
// was written completely with at least one entry; otherwise no archive is left behind.
[[nodiscard]] bool WriteZipArchive(const std::string& archivePath,
                                   const std::vector<std::string>& files,
                                   const std::vector<std::string>& names);

struct TAttachment {
    std::string SourceFile;
    std::string SendAsName;
    std::string ZipFile; // empty: sent as it is
    std::string FieldName;
};

struct TSendFile {
    std::string File;
    std::string FieldName;
    std::string SendAsName;
};

// Turns the attachment list into the files to send: plain attachments pass through,
// attachments sharing a zip name (ignoring case) become one archive in tempFolder.
std::vector<TSendFile> PackAttachments(const std::vector<TAttachment>& attachments,
                                       const std::string& tempFolder);

} // namespace qix
