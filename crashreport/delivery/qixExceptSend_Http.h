// The bug report upload: an HTTP/1.1 POST with multipart/form-data, and the reader of
// the server's answer.
#pragma once

#include "crashreport/delivery/qixExceptSend_Channel.h"
#include "crashreport/ui/qixProgressAlert.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qix {

inline constexpr size_t kHttpReceiveChunk = 5120;
inline constexpr size_t kHttpMaxHead = 64 * 1024;
inline constexpr size_t kUploadFilePiece = 1024;

// Where the request goes and what it names.
struct TUploadTarget {
    std::string ConnectHost; // host or proxy to connect to, without scheme
    std::string HostHeader;  // host ":" port
    std::string RequestTarget;
    uint16_t Port = 80;
};

// Splits the configured URL. With a proxy name the connection goes there and the whole
// URL becomes the request target. A URL without a path asks for "/"; a port written
// into the host is dropped, since the configured port decides.
TUploadTarget ParseUploadUrl(std::string_view url, uint16_t port, std::string_view proxy = {});

struct TUploadFile {
    std::string Path;
    std::string FieldName;
    std::string SendAsName;
    uint64_t Size = 0; // as found when the request was planned; 0: left out
};

struct TUploadRequest {
    TUploadTarget Target;
    std::string Sender; // empty: no From line
    std::string Account, Password;
    std::vector<std::pair<std::string, std::string>> Fields; // name, content
    std::vector<TUploadFile> Files;
};

// The form fields as one text, each part starting with CR LF.
std::string BuildFieldsText(const std::vector<std::pair<std::string, std::string>>& fields);
// The head of one file part, from its leading CR LF to the empty line.
std::string UploadPartHead(const TUploadFile& file);
// Bytes a file part adds: the head and the file.
uint64_t UploadPartLength(const TUploadFile& file);
// CR LF "--" boundary "--" CR LF.
std::string UploadTail();
// Everything after the empty line that ends the request header.
uint64_t UploadContentLength(const TUploadRequest& request);
// Request line and header lines; the fields text follows directly.
std::string BuildUploadHead(const TUploadRequest& request);

// Fills in the sizes of the files; missing and empty files get 0 and are left out.
void PlanUploadFiles(std::vector<TUploadFile>& files);

// Streams head, fields, file parts and tail. A file that no longer has the planned size
// fails the upload, as the announced length would be wrong.
[[nodiscard]] bool WriteUpload(const TUploadRequest& request, const TByteSink& sink,
                               IProgressAlert* progress = nullptr);
// In memory, for checks; empty when a file could not be read.
std::string BuildUpload(const TUploadRequest& request);

enum class THttpReplyStatus { Ok, Closed, TimedOut, Failed, Malformed };

struct THttpReply {
    int Code = 0;
    std::string Reason;
    std::vector<std::pair<std::string, std::string>> Headers;
    std::string Header(std::string_view name) const; // first of that name, any case
};

// Reads status line and headers of the final answer; 1xx answers are skipped.
class THttpReplyReader {
public:
    THttpReplyStatus Read(IByteChannel& channel, THttpReply& reply);
    void Feed(std::string_view bytes) { Pending.append(bytes); }
    // From the bytes fed so far; false while incomplete, `status` tells a bad head.
    bool TakeReply(THttpReply& reply, THttpReplyStatus& status);

private:
    std::string Pending;
};

enum class TUploadResult {
    Delivered,  // 200
    Redirected, // 302: delivered, the answer names a page for the user
    Rejected,   // any other status
    SendFailed, // the request could not be sent completely
    NoAnswer,   // closed, time-out or socket error before a whole answer
    BadAnswer,  // not HTTP
};

struct TUploadOutcome {
    TUploadResult Result = TUploadResult::NoAnswer;
    int Code = 0;
    // For Redirected: the page to open, only when it is an http or https URL.
    std::string BrowserUrl;
    bool Succeeded() const {
        return Result == TUploadResult::Delivered || Result == TUploadResult::Redirected;
    }
};

TUploadOutcome JudgeUploadReply(THttpReplyStatus status, const THttpReply& reply);

// Sends the request over a connected channel and judges the answer.
TUploadOutcome RunUpload(const TUploadRequest& request, IByteChannel& channel,
                         IProgressAlert* progress = nullptr);

} // namespace qix
