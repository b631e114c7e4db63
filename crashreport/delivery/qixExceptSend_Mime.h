// The mail message of a bug report: header lines, the multipart/mixed layout with
// base64 attachments, and the dot-stuffing of the SMTP data phase.
#pragma once

#include "crashreport/delivery/qixExceptSend_Channel.h"
#include "crashreport/ui/qixProgressAlert.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qix {

// 14 characters of our own, then "_multipart_boundary": 33 in all. The upload's
// Content-Length arithmetic depends on that length.
inline constexpr std::string_view MultipartBoundary = "qix.7Rv2Lk.q0x_multipart_boundary";
static_assert(MultipartBoundary.size() == 33);

// Bytes of one attachment taken per base64 line: 57 bytes give 76 characters.
inline constexpr size_t kBase64LineBytes = 57;

struct TUtcTime {
    int Year = 1970, Month = 1, Day = 1, Hour = 0, Minute = 0, Second = 0;
};

// "=?ISO-8859-1?Q?...?=" with every byte but ASCII letters and digits as "=XX".
std::string EncodeMailSubject(std::string_view subject);
// "8 Dec 2026 06:05:09 UT"
std::string FormatMailDate(const TUtcTime& time);
// "<" + 16 lower-case hex digits of the FILETIME + "@qixExcept>"
std::string FormatMessageId(uint64_t fileTime);

// Recipients as the settings hold them: split at "," or ";", trimmed, empty parts dropped.
std::vector<std::string> SplitRecipients(std::string_view recipients);
// The envelope form: the part from "<" up to ">" when there is one, else "<" + address + ">".
std::string AngleAddress(std::string_view address);
// A header address: kept when it carries its own angle address, else put in angle brackets.
std::string HeaderAddress(std::string_view address);
// The domain of an address: after the last "@", without the closing ">" and blanks.
std::string AddressDomain(std::string_view address);

// Bare CR or LF become CR LF, so the body is well formed for the data phase.
std::string NormalizeLineBreaks(std::string_view text);

// Doubles the "." at the start of every line (including the very first), across pieces.
class TDotStuffer {
public:
    explicit TDotStuffer(TByteSink sink) : Sink(std::move(sink)) {}
    [[nodiscard]] bool Write(std::string_view bytes);

private:
    TByteSink Sink;
    bool LineStart = true;
};

struct TMailFile {
    std::string Path;
    std::string SendAsName;
};

struct TMailMessage {
    std::string To;   // recipients text ("," or ";" separated)
    std::string From; // sender
    std::string Subject, Body;
    TUtcTime Date;
    uint64_t FileTime = 0; // for the Message-ID
    std::vector<TMailFile> Attachments;
};

// The header lines, each ending in CR LF, without the separating empty line.
std::string BuildMailHeader(const TMailMessage& message);
// The fixed start of the multipart body, up to the body text of the first part.
std::string MimeHeaderBlock();
// The header lines of one attachment part, up to and including the empty line.
std::string AttachmentPartHeader(std::string_view path, std::string_view sendAsName);
// One base64 line per 57-byte piece, each with CR LF.
std::string Base64Lines(std::string_view bytes);

// Streams the whole message text (before dot-stuffing and without the final ".") into
// the sink. Missing or empty attachment files are left out. False when the sink refuses
// or a file cannot be read. Progress: one phase for the header, one per attachment sent
// (the position within it follows the bytes read).
[[nodiscard]] bool WriteMailMessage(const TMailMessage& message, const TByteSink& sink,
                                    IProgressAlert* progress = nullptr);
// The same, collected into one string (empty on a read failure).
std::string BuildMailMessage(const TMailMessage& message);

} // namespace qix
