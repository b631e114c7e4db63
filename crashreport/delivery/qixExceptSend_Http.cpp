#include "crashreport/delivery/qixExceptSend_Http.h"

#include "crashreport/delivery/qixExceptSend_Mime.h"
#include "crashreport/support/qixCrypt.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace qix {

namespace {

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// Field and file names sit in double quotes; the replacement keeps the length, so the
// announced Content-Length stays right.
std::string Quoted(std::string_view name) {
    std::string out = "\"";
    for (unsigned char c : name)
        out += (c < 0x20 || c == '"' || c == '\\' || c == 0x7f) ? '_' : char(c);
    return out + "\"";
}

std::string OneLine(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c == '\r' || c == '\n') c = ' ';
    return out;
}

void PhaseDone(IProgressAlert* progress) {
    if (progress) progress->PhaseDone();
}

bool SendFile(const TUploadFile& file, const TByteSink& sink, IProgressAlert* progress) {
    std::ifstream in(file.Path, std::ios::binary);
    if (!in) return false;
    char buffer[kUploadFilePiece];
    uint64_t done = 0;
    while (done < file.Size) {
        const size_t want = size_t(std::min<uint64_t>(sizeof buffer, file.Size - done));
        in.read(buffer, std::streamsize(want));
        if (size_t(in.gcount()) != want || !sink(std::string_view(buffer, want))) return false;
        done += want;
        if (progress) progress->SetProgress(int32_t(done * 1000 / file.Size));
    }
    // A file that grew since planning would not fit the announced length either.
    return in.peek() == std::ifstream::traits_type::eof();
}

bool IsBrowserUrl(std::string_view url) {
    const std::string lower = Lower(url.substr(0, 8));
    if (lower.rfind("http://", 0) != 0 && lower.rfind("https://", 0) != 0) return false;
    for (unsigned char c : url)
        if (c <= 0x20 || c == 0x7f || c == '"') return false;
    return true;
}

} // namespace

TUploadTarget ParseUploadUrl(std::string_view url, uint16_t port, std::string_view proxy) {
    const auto stripScheme = [](std::string_view s) {
        const size_t scheme = s.find("://");
        return scheme == std::string_view::npos ? s : s.substr(scheme + 3);
    };
    const auto hostOnly = [](std::string_view s) {
        s = s.substr(0, s.find('/'));
        const size_t colon = s.find(':');
        return std::string(Trim(colon == std::string_view::npos ? s : s.substr(0, colon)));
    };
    const std::string_view rest = stripScheme(Trim(url));
    const size_t slash = rest.find('/');
    TUploadTarget t;
    t.Port = port;
    const std::string host = hostOnly(rest);
    t.HostHeader = host + ":" + std::to_string(port);
    if (!Trim(proxy).empty()) {
        t.ConnectHost = hostOnly(stripScheme(Trim(proxy)));
        // A proxy needs the absolute form, scheme included.
        const std::string whole(Trim(url));
        t.RequestTarget =
            OneLine(whole.find("://") == std::string::npos ? "http://" + whole : whole);
        if (slash == std::string_view::npos) t.RequestTarget += "/";
    } else {
        t.ConnectHost = host;
        t.RequestTarget =
            slash == std::string_view::npos ? std::string("/") : OneLine(rest.substr(slash));
    }
    return t;
}

std::string BuildFieldsText(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string out;
    for (const auto& [name, content] : fields)
        out += "\r\n--" + std::string(MultipartBoundary) +
               "\r\nContent-Disposition: form-data; name=" + Quoted(name) + "\r\n\r\n" + content;
    return out;
}

std::string UploadPartHead(const TUploadFile& file) {
    return "\r\n--" + std::string(MultipartBoundary) +
           "\r\nContent-Disposition: form-data; name=" + Quoted(file.FieldName) +
           "; filename=" + Quoted(file.SendAsName) +
           "\r\nContent-Type: application/octet-stream\r\n\r\n";
}

uint64_t UploadPartLength(const TUploadFile& file) {
    return UploadPartHead(file).size() + file.Size;
}

std::string UploadTail() {
    return "\r\n--" + std::string(MultipartBoundary) + "--\r\n";
}

uint64_t UploadContentLength(const TUploadRequest& r) {
    // The first CR LF of whatever follows the header ends it and is not content.
    uint64_t length = BuildFieldsText(r.Fields).size() + UploadTail().size() - 2;
    for (const TUploadFile& f : r.Files)
        if (f.Size) length += UploadPartLength(f);
    return length;
}

std::string BuildUploadHead(const TUploadRequest& r) {
    std::string head = "POST " + OneLine(r.Target.RequestTarget) + " HTTP/1.1\r\n" +
                       "Host: " + OneLine(r.Target.HostHeader) + "\r\n" +
                       "Connection: close\r\n"
                       "Pragma: no-cache\r\n"
                       "User-Agent: qixExcept/3.0\r\n"
                       "Content-Type: multipart/form-data; boundary=" +
                       std::string(MultipartBoundary) + "\r\n" +
                       "Content-Length: " + std::to_string(UploadContentLength(r)) + "\r\n";
    if (!r.Sender.empty()) head += "From: " + AngleAddress(r.Sender) + "\r\n";
    if (!r.Account.empty() || !r.Password.empty())
        head += "Authorization: Basic " + EncodeBase64(r.Account + ":" + r.Password) + "\r\n";
    return head;
}

void PlanUploadFiles(std::vector<TUploadFile>& files) {
    for (TUploadFile& f : files) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(f.Path, ec);
        f.Size = ec ? 0 : uint64_t(size);
    }
}

bool WriteUpload(const TUploadRequest& r, const TByteSink& sink, IProgressAlert* progress) {
    if (!sink(BuildUploadHead(r) + BuildFieldsText(r.Fields))) return false;
    PhaseDone(progress);
    for (const TUploadFile& f : r.Files) {
        if (!f.Size) continue;
        if (!sink(UploadPartHead(f)) || !SendFile(f, sink, progress)) return false;
        PhaseDone(progress);
    }
    if (!sink(UploadTail())) return false;
    PhaseDone(progress);
    return true;
}

std::string BuildUpload(const TUploadRequest& request) {
    std::string out;
    const bool ok = WriteUpload(request, [&out](std::string_view s) {
        out += s;
        return true;
    });
    return ok ? out : std::string();
}

std::string THttpReply::Header(std::string_view name) const {
    const std::string want = Lower(name);
    for (const auto& [n, v] : Headers)
        if (Lower(n) == want) return v;
    return {};
}

bool THttpReplyReader::TakeReply(THttpReply& reply, THttpReplyStatus& status) {
    status = THttpReplyStatus::Ok;
    while (true) {
        size_t end = Pending.find("\r\n\r\n");
        size_t skip = 4;
        const size_t lfEnd = Pending.find("\n\n");
        if (lfEnd != std::string::npos && (end == std::string::npos || lfEnd < end)) {
            end = lfEnd;
            skip = 2;
        }
        if (end == std::string::npos) {
            if (Pending.size() > kHttpMaxHead) status = THttpReplyStatus::Malformed;
            return false;
        }
        const std::string head = Pending.substr(0, end);
        Pending.erase(0, end + skip);

        THttpReply out;
        size_t lineEnd = head.find('\n');
        const std::string_view status_line = Trim(
            std::string_view(head).substr(0, lineEnd == std::string::npos ? head.size() : lineEnd));
        // "HTTP/1.1 200 OK": the code is the second word.
        const size_t blank = status_line.find(' ');
        if (status_line.rfind("HTTP/", 0) != 0 || blank == std::string_view::npos) {
            status = THttpReplyStatus::Malformed;
            return false;
        }
        std::string_view rest = Trim(status_line.substr(blank + 1));
        if (rest.size() < 3 || rest[0] < '1' || rest[0] > '5' || rest[1] < '0' || rest[1] > '9' ||
            rest[2] < '0' || rest[2] > '9' || (rest.size() > 3 && rest[3] != ' ')) {
            status = THttpReplyStatus::Malformed;
            return false;
        }
        out.Code = (rest[0] - '0') * 100 + (rest[1] - '0') * 10 + (rest[2] - '0');
        out.Reason = std::string(Trim(rest.substr(3)));
        while (lineEnd != std::string::npos) {
            const size_t next = head.find('\n', lineEnd + 1);
            const std::string_view line = Trim(std::string_view(head).substr(
                lineEnd + 1, next == std::string::npos ? std::string::npos : next - lineEnd - 1));
            lineEnd = next;
            const size_t colon = line.find(':');
            if (colon != std::string_view::npos && colon > 0)
                out.Headers.emplace_back(std::string(Trim(line.substr(0, colon))),
                                         std::string(Trim(line.substr(colon + 1))));
        }
        if (out.Code >= 100 && out.Code < 200) continue; // interim answer: the real one follows
        reply = std::move(out);
        return true;
    }
}

THttpReplyStatus THttpReplyReader::Read(IByteChannel& channel, THttpReply& reply) {
    while (true) {
        THttpReplyStatus status;
        if (TakeReply(reply, status)) return THttpReplyStatus::Ok;
        if (status != THttpReplyStatus::Ok) return status;
        switch (channel.Receive(Pending, kHttpReceiveChunk)) {
        case TReceiveStatus::Data:
            break;
        case TReceiveStatus::Closed:
            // A head cut short after its status line still tells the result.
            if (Pending.find('\n') != std::string::npos) {
                Pending += "\r\n\r\n";
                continue;
            }
            return THttpReplyStatus::Closed;
        case TReceiveStatus::TimedOut:
            return THttpReplyStatus::TimedOut;
        case TReceiveStatus::Failed:
            return THttpReplyStatus::Failed;
        }
    }
}

TUploadOutcome JudgeUploadReply(THttpReplyStatus status, const THttpReply& reply) {
    TUploadOutcome out;
    if (status != THttpReplyStatus::Ok) {
        out.Result = status == THttpReplyStatus::Malformed ? TUploadResult::BadAnswer
                                                           : TUploadResult::NoAnswer;
        return out;
    }
    out.Code = reply.Code;
    if (reply.Code == 200) {
        out.Result = TUploadResult::Delivered;
    } else if (reply.Code == 302) {
        out.Result = TUploadResult::Redirected;
        // Only a web page goes to the shell; anything else it would run or open.
        const std::string location = reply.Header("Location");
        if (IsBrowserUrl(location)) out.BrowserUrl = location;
    } else {
        out.Result = TUploadResult::Rejected;
    }
    return out;
}

TUploadOutcome RunUpload(const TUploadRequest& request, IByteChannel& channel,
                         IProgressAlert* progress) {
    if (!WriteUpload(
            request, [&channel](std::string_view s) { return channel.Send(s); }, progress)) {
        TUploadOutcome out;
        out.Result = TUploadResult::SendFailed;
        return out;
    }
    THttpReplyReader reader;
    THttpReply reply;
    const THttpReplyStatus status = reader.Read(channel, reply);
    PhaseDone(progress);
    return JudgeUploadReply(status, reply);
}

} // namespace qix
