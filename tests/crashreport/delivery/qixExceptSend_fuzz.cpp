// Everything a server sends goes through one of these readers. The first input byte
// picks the reader and how the bytes are cut into receives; the rest is the server.
#include "crashreport/delivery/qixExceptSend_Dns.h"
#include "crashreport/delivery/qixExceptSend_Http.h"
#include "crashreport/delivery/qixExceptSend_Smtp.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

using namespace qix;

// Hands out the server bytes in pieces of a fixed size, then closes.
class TReplayChannel : public IByteChannel {
public:
    TReplayChannel(std::string_view data, size_t piece) : Data(data), Piece(piece) {}
    bool Send(std::string_view) override { return true; }
    TReceiveStatus Receive(std::string& into, size_t maxBytes) override {
        if (Data.empty()) return TReceiveStatus::Closed;
        const size_t n = std::min({Piece, maxBytes, Data.size()});
        into.append(Data.substr(0, n));
        Data.remove_prefix(n);
        return TReceiveStatus::Data;
    }

private:
    std::string_view Data;
    size_t Piece;
};

void FuzzDns(std::string_view reply, bool ns) {
    static const std::string mx = BuildDnsQuery("example.org", kDnsTypeMx);
    static const std::string nsq = BuildDnsQuery("example.org", kDnsTypeNs);
    const TDnsReply r = ParseDnsReply(reply.substr(0, kDnsMaxReply), ns ? nsq : mx);
    for (const std::string& host : MailHostsFor("example.org", r))
        if (host.empty() || host.size() > 253) __builtin_trap();
}

void FuzzSmtp(std::string_view server, size_t piece) {
    TSmtpSessionSetup setup;
    setup.ComputerName = "PC";
    setup.Recipients = "a@x.org, b@y.org";
    setup.Account = piece & 1 ? "user" : "";
    setup.Password = piece & 1 ? "secret" : "";
    TMailMessage message;
    message.Body = "body";
    TReplayChannel channel(server, piece);
    const TSmtpOutcome out = RunSmtpSession(setup, message, channel);
    if (out.Delivered && out.Failure != TSmtpFailure::None) __builtin_trap();
}

void FuzzHttp(std::string_view server, size_t piece) {
    TReplayChannel channel(server, piece);
    THttpReplyReader reader;
    THttpReply reply;
    const TUploadOutcome out = JudgeUploadReply(reader.Read(channel, reply), reply);
    if (!out.BrowserUrl.empty() && out.Result != TUploadResult::Redirected) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t selector = data[0];
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t piece = 1 + (selector >> 2);
    switch (selector & 3) {
    case 0:
        FuzzDns(rest, false);
        break;
    case 1:
        FuzzDns(rest, true);
        break;
    case 2:
        FuzzSmtp(rest, piece);
        break;
    default:
        FuzzHttp(rest, piece);
        break;
    }
    return 0;
}
