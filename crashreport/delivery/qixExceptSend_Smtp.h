// The SMTP dialogue of one mail session, apart from the socket: a reply reader over a
// byte channel, the dialogue as a state machine, and a driver that joins them.
#pragma once

#include "crashreport/delivery/qixExceptSend_Channel.h"
#include "crashreport/delivery/qixExceptSend_Mime.h"
#include "crashreport/ui/qixProgressAlert.h"

#include <string>
#include <string_view>
#include <vector>

namespace qix {

inline constexpr size_t kSmtpReceiveChunk = 1024;
// A reply longer than this is not an SMTP server talking.
inline constexpr size_t kSmtpMaxReply = 64 * 1024;

enum class TReplyStatus { Ok, Closed, TimedOut, Failed, Malformed };

struct TSmtpReply {
    int Code = 0;                   // 100 ... 599
    std::vector<std::string> Lines; // text after the code and its separator, one per line
};

// Gathers bytes until a whole (possibly multi-line) reply is there. Bytes after it stay
// for the next reply.
class TSmtpReplyReader {
public:
    TReplyStatus Read(IByteChannel& channel, TSmtpReply& reply);
    // Without a channel: takes the next reply from the bytes fed so far.
    // Returns false while the reply is incomplete; `status` tells a malformed one.
    bool TakeReply(TSmtpReply& reply, TReplyStatus& status);
    void Feed(std::string_view bytes) { Pending.append(bytes); }

private:
    std::string Pending;
    size_t Scanned = 0; // bytes of Pending already taken into Partial
    TSmtpReply Partial;
};

// True when an EHLO reply line offers AUTH LOGIN; "AUTH=LOGIN" counts as well.
bool OffersAuthLogin(std::string_view ehloLineText);

enum class TSmtpStep {
    Greeting,
    Ehlo,
    Helo,
    AuthLogin,
    AuthAccount,
    AuthPassword,
    MailFrom,
    RcptTo,
    Rset,
    Data,
    Message,
    EndOfData,
    Quit,
    Done,
};

// Why a session did not deliver; None when it did.
enum class TSmtpFailure {
    None,
    NoConnection,    // the reply could not be read: closed, time-out, socket error
    BadReply,        // a reply that is not SMTP
    Greeting,        // no "220"
    Hello,           // neither EHLO nor HELO accepted
    AuthNotOffered,  // credentials configured, but the server offers no AUTH LOGIN
    AuthRejected,    // AUTH LOGIN refused, or account or password wrong
    SenderRejected,  // MAIL FROM refused
    NoRecipient,     // every RCPT TO refused
    DataRejected,    // DATA not answered with "354"
    MessageFailed,   // an attachment could not be read or the message not sent
    MessageRejected, // the end of data not answered with "250"
};

// For diagnostics (test output, a debugger); the user sees the SendFailMsg setting.
const char* SmtpFailureText(TSmtpFailure failure);

struct TSmtpSessionSetup {
    std::string ComputerName;
    std::string Sender;            // empty: the recipients text stands in
    std::string Recipients;        // "," or ";" separated
    std::string Account, Password; // both empty: no authentication
    bool HasMessage = true;        // false: no subject and no body, RSET instead
};

// What the driver does next: send Line (when not empty) and read a reply, stream the
// message, or close the connection.
struct TSmtpAction {
    enum TKind { SendAndRead, SendMessage, Close } Kind = Close;
    // Command without CR LF. The end of data is "\r\n." so that, with the CR LF every
    // line gets, CR LF "." CR LF goes out.
    std::string Line;
    int PhasesDone = 0; // progress phases completed by the step that led here
};

class TSmtpDialogue {
public:
    explicit TSmtpDialogue(TSmtpSessionSetup setup);

    TSmtpAction Start();                            // await the greeting
    TSmtpAction OnReply(const TSmtpReply& reply);   // after SendAndRead
    TSmtpAction OnReadFailure(TReplyStatus status); // the reply never came whole
    TSmtpAction OnMessageSent(bool ok);             // after SendMessage

    TSmtpStep Step() const { return Current; }
    bool Delivered() const { return MessageAccepted; }
    TSmtpFailure Failure() const { return Fault; }
    TSmtpStep FailedStep() const { return FaultStep; }
    bool AuthLoginOffered() const { return AuthOffered; }
    const std::vector<std::string>& AcceptedRecipients() const { return Accepted; }

private:
    TSmtpAction Send(TSmtpStep step, std::string line, int phases = 0);
    TSmtpAction Quit(TSmtpFailure failure, int phases = 0);
    TSmtpAction Fail(TSmtpFailure failure);
    TSmtpAction AfterHello();
    TSmtpAction MailFrom(int phases);
    TSmtpAction NextRecipient(int phases);

    TSmtpSessionSetup Setup;
    std::vector<std::string> Recipients;
    std::vector<std::string> Accepted;
    size_t NextRcpt = 0;
    TSmtpStep Current = TSmtpStep::Greeting;
    TSmtpFailure Fault = TSmtpFailure::None;
    TSmtpStep FaultStep = TSmtpStep::Done;
    bool AuthOffered = false;
    bool MessageAccepted = false;
};

struct TSmtpOutcome {
    bool Delivered = false;
    TSmtpFailure Failure = TSmtpFailure::None;
    TSmtpStep FailedStep = TSmtpStep::Done;
    TSmtpReply LastReply;
};

// Runs one session over a connected channel. Commands go out with CR LF; the message
// is dot-stuffed and ended with CR LF "." CR LF. The caller closes the connection.
TSmtpOutcome RunSmtpSession(const TSmtpSessionSetup& setup, const TMailMessage& message,
                            IByteChannel& channel, IProgressAlert* progress = nullptr);

} // namespace qix
