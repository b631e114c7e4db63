// The parts of a send that are plain arithmetic and text: the progress phases with their
// weights, the sender, the exception message taken from the report, the PNG mode.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qix {

// Which network channel a send tries; at most one does.
enum class TSendChannel { None, SmtpDirect, SmtpRelay, HttpUpload };

// One progress phase: the setting that holds its text (empty: the previous text stays).
struct TSendPhase {
    std::string TextSetting;
    uint64_t Weight = 0;
    bool operator==(const TSendPhase&) const = default;
};

// The overview shown while the send is prepared.
std::vector<TSendPhase> OverviewPhases(TSendChannel channel, bool attachments);

// One SMTP session; sizes of the attachment files (empty ones add no phase).
std::vector<TSendPhase> SmtpSessionPhases(bool withMxLookup,
                                          const std::vector<uint64_t>& attachmentSizes);

// The upload; fieldsLength is the length of the fields text, parts the length of every
// file part that is sent.
std::vector<TSendPhase> UploadPhases(uint64_t fieldsLength, const std::vector<uint64_t>& parts);

// MailFrom when set; else "qixExcept <first recipient>"; empty without recipients.
std::string SenderFor(std::string_view mailFrom, std::string_view mailAddr);

// The text after the first ":" of the report line that begins with "exception message".
std::string ExceptionMessageOf(std::string_view report);

// The PNG colour mode for a ScrShotDepth setting.
int ScreenshotPngMode(int32_t depth);

} // namespace qix
