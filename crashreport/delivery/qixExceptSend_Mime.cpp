#include "crashreport/delivery/qixExceptSend_Mime.h"

#include "crashreport/support/qixCrypt.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace qix {

namespace {

constexpr char kHexUpper[] = "0123456789ABCDEF";
constexpr char kHexLower[] = "0123456789abcdef";
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsAsciiAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// A header or command line must stay one line, whatever the settings hold.
std::string OneLine(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c == '\r' || c == '\n') c = ' ';
    return out;
}

// A quoted parameter value cannot hold its own quote or a line break.
std::string QuotedName(std::string_view name) {
    std::string out = "\"";
    for (unsigned char c : name)
        out += (c < 0x20 || c == '"' || c == '\\' || c == 0x7f) ? '_' : char(c);
    return out + "\"";
}

std::string TwoDigits(int v) {
    v = v < 0 ? 0 : v % 100;
    return {char('0' + v / 10), char('0' + v % 10)};
}

bool EndsWithPng(std::string_view path) {
    if (path.size() < 4) return false;
    std::string tail(path.substr(path.size() - 4));
    for (char& c : tail)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return tail == ".png";
}

void SetPosition(IProgressAlert* progress, uint64_t done, uint64_t total) {
    if (progress && total) progress->SetProgress(int32_t(done * 1000 / total));
}

void PhaseDone(IProgressAlert* progress) {
    if (progress) progress->PhaseDone();
}

// Size of a regular file, or 0 when it is missing, empty or unreadable.
uint64_t SendableSize(const std::string& path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    return ec ? 0 : uint64_t(size);
}

} // namespace

std::string EncodeMailSubject(std::string_view subject) {
    std::string out = "=?ISO-8859-1?Q?";
    for (unsigned char c : subject) {
        if (IsAsciiAlnum(c)) {
            out += char(c);
        } else {
            out += '=';
            out += kHexUpper[c >> 4];
            out += kHexUpper[c & 15];
        }
    }
    return out + "?=";
}

std::string FormatMailDate(const TUtcTime& t) {
    const int month = (t.Month >= 1 && t.Month <= 12) ? t.Month : 1;
    return std::to_string(t.Day) + " " + kMonths[month - 1] + " " + std::to_string(t.Year) + " " +
           TwoDigits(t.Hour) + ":" + TwoDigits(t.Minute) + ":" + TwoDigits(t.Second) + " UT";
}

std::string FormatMessageId(uint64_t fileTime) {
    std::string hex(16, '0');
    for (int i = 15; i >= 0; --i, fileTime >>= 4)
        hex[size_t(i)] = kHexLower[fileTime & 15];
    return "<" + hex + "@qixExcept>";
}

std::vector<std::string> SplitRecipients(std::string_view recipients) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= recipients.size()) {
        size_t end = recipients.find_first_of(",;", start);
        if (end == std::string_view::npos) end = recipients.size();
        const std::string_view part = Trim(recipients.substr(start, end - start));
        if (!part.empty()) out.emplace_back(part);
        start = end + 1;
    }
    return out;
}

std::string AngleAddress(std::string_view address) {
    address = Trim(address);
    const size_t open = address.find('<');
    if (open == std::string_view::npos) return "<" + OneLine(address) + ">";
    const size_t close = address.find('>', open);
    return OneLine(address.substr(open, close == std::string_view::npos ? std::string_view::npos
                                                                        : close - open + 1)) +
           (close == std::string_view::npos ? ">" : "");
}

std::string HeaderAddress(std::string_view address) {
    address = Trim(address);
    if (address.find('<') != std::string_view::npos) return OneLine(address);
    return "<" + OneLine(address) + ">";
}

std::string AddressDomain(std::string_view address) {
    const size_t at = address.rfind('@');
    if (at == std::string_view::npos) return {};
    std::string_view domain = address.substr(at + 1);
    const size_t close = domain.find('>');
    if (close != std::string_view::npos) domain = domain.substr(0, close);
    domain = Trim(domain);
    while (!domain.empty() && domain.back() == '.')
        domain.remove_suffix(1);
    return std::string(domain);
}

std::string NormalizeLineBreaks(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

bool TDotStuffer::Write(std::string_view bytes) {
    size_t from = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (LineStart && bytes[i] == '.') {
            // Send up to and including this dot, then the dot again.
            if (!Sink(bytes.substr(from, i + 1 - from))) return false;
            from = i;
        }
        LineStart = bytes[i] == '\n';
    }
    return from >= bytes.size() || Sink(bytes.substr(from));
}

std::string BuildMailHeader(const TMailMessage& m) {
    std::string to;
    for (const std::string& r : SplitRecipients(m.To))
        to += (to.empty() ? "" : ", ") + HeaderAddress(r);
    return "To: " + to + "\r\n" + "From: " + HeaderAddress(m.From) + "\r\n" +
           "Subject: " + EncodeMailSubject(m.Subject) + "\r\n" + "Date: " + FormatMailDate(m.Date) +
           "\r\n" + "Message-ID: " + FormatMessageId(m.FileTime) + "\r\n";
}

std::string MimeHeaderBlock() {
    const std::string b(MultipartBoundary);
    return "MIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"" +
           b +
           "\"\r\n"
           "\r\n"
           "This is a multi-part message in MIME format.\r\n"
           "\r\n"
           "--" +
           b +
           "\r\n"
           "Content-Type: text/plain; charset=\"iso-8859-1\"\r\n"
           "Content-Transfer-Encoding: 8bit\r\n"
           "\r\n";
}

std::string AttachmentPartHeader(std::string_view path, std::string_view sendAsName) {
    const std::string name = QuotedName(sendAsName);
    return "--" + std::string(MultipartBoundary) + "\r\n" +
           "Content-Type: " + (EndsWithPng(path) ? "image/png" : "application/octet-stream") +
           "; name=" + name + "\r\n" + "Content-Transfer-Encoding: base64\r\n" +
           "Content-Disposition: attachment; filename=" + name + "\r\n\r\n";
}

std::string Base64Lines(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + kBase64LineBytes - 1) / kBase64LineBytes * 78);
    for (size_t at = 0; at < bytes.size(); at += kBase64LineBytes)
        out += EncodeBase64(bytes.substr(at, kBase64LineBytes)) + "\r\n";
    return out;
}

namespace {

// One attachment part: header, then the file as base64 lines. Reads whole lines'
// worth of bytes at a time so the line breaks fall where they do in Base64Lines.
bool WriteAttachment(const TMailFile& file, uint64_t size, const TByteSink& sink,
                     IProgressAlert* progress) {
    std::ifstream in(file.Path, std::ios::binary);
    if (!in || !sink(AttachmentPartHeader(file.Path, file.SendAsName))) return false;
    constexpr size_t kChunk = kBase64LineBytes * 256;
    std::string buffer(kChunk, '\0');
    uint64_t done = 0;
    while (done < size) {
        const size_t want = size_t(std::min<uint64_t>(kChunk, size - done));
        in.read(buffer.data(), std::streamsize(want));
        if (size_t(in.gcount()) != want) {
            // The file shrank or failed: end the line in progress so the server sees
            // a clean line, and let the caller abandon the message.
            (void)sink("\r\n");
            return false;
        }
        if (!sink(Base64Lines(std::string_view(buffer.data(), want)))) return false;
        done += want;
        SetPosition(progress, done, size);
    }
    PhaseDone(progress);
    return true;
}

} // namespace

bool WriteMailMessage(const TMailMessage& m, const TByteSink& sink, IProgressAlert* progress) {
    if (!sink(BuildMailHeader(m))) return false;
    PhaseDone(progress);
    const std::string body = NormalizeLineBreaks(m.Body);
    std::vector<std::pair<const TMailFile*, uint64_t>> sendable;
    for (const TMailFile& f : m.Attachments)
        if (const uint64_t size = SendableSize(f.Path)) sendable.emplace_back(&f, size);
    if (sendable.empty()) return sink("\r\n" + body);
    if (!sink(MimeHeaderBlock() + body + "\r\n")) return false;
    for (const auto& [file, size] : sendable)
        if (!WriteAttachment(*file, size, sink, progress)) return false;
    return sink("--" + std::string(MultipartBoundary) + "--\r\n");
}

std::string BuildMailMessage(const TMailMessage& message) {
    std::string out;
    const bool ok = WriteMailMessage(message, [&out](std::string_view s) {
        out += s;
        return true;
    });
    return ok ? out : std::string();
}

} // namespace qix
