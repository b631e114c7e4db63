#include "crashreport/delivery/qixExceptSend_Smtp.h"

#include "crashreport/support/qixCrypt.h"

namespace qix {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return out;
}

} // namespace

bool TSmtpReplyReader::TakeReply(TSmtpReply& reply, TReplyStatus& status) {
    status = TReplyStatus::Ok;
    // Continuation lines already read stay in Partial, so a slow server costs no rescans.
    while (true) {
        const size_t lf = Pending.find('\n', Scanned);
        if (lf == std::string::npos) {
            if (Pending.size() > kSmtpMaxReply) status = TReplyStatus::Malformed;
            return false;
        }
        std::string_view line(Pending.data() + Scanned, lf - Scanned);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.size() < 3 || line[0] < '1' || line[0] > '5' || !IsDigit(line[1]) ||
            !IsDigit(line[2]) || (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
            status = TReplyStatus::Malformed;
            return false;
        }
        const int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
        if (Partial.Code != 0 && code != Partial.Code) {
            status = TReplyStatus::Malformed;
            return false;
        }
        Partial.Code = code;
        Partial.Lines.emplace_back(line.size() > 4 ? line.substr(4) : std::string_view());
        const bool last = line.size() == 3 || line[3] == ' ';
        Scanned = lf + 1;
        if (last) {
            Pending.erase(0, Scanned);
            Scanned = 0;
            reply = std::move(Partial);
            Partial = {};
            return true;
        }
        if (Scanned > kSmtpMaxReply) {
            status = TReplyStatus::Malformed;
            return false;
        }
    }
}

TReplyStatus TSmtpReplyReader::Read(IByteChannel& channel, TSmtpReply& reply) {
    while (true) {
        TReplyStatus status;
        if (TakeReply(reply, status)) return TReplyStatus::Ok;
        if (status != TReplyStatus::Ok) return status;
        switch (channel.Receive(Pending, kSmtpReceiveChunk)) {
        case TReceiveStatus::Data:
            break;
        case TReceiveStatus::Closed:
            return TReplyStatus::Closed;
        case TReceiveStatus::TimedOut:
            return TReplyStatus::TimedOut;
        case TReceiveStatus::Failed:
            return TReplyStatus::Failed;
        }
    }
}

bool OffersAuthLogin(std::string_view text) {
    std::string line = Upper(text);
    for (char& c : line)
        if (c == '=') c = ' ';
    return line.rfind("AUTH ", 0) == 0 && (line + " ").find(" LOGIN ") != std::string::npos;
}

const char* SmtpFailureText(TSmtpFailure failure) {
    switch (failure) {
    case TSmtpFailure::None:
        return "sent";
    case TSmtpFailure::NoConnection:
        return "the mail server did not answer";
    case TSmtpFailure::BadReply:
        return "the mail server's answer was not understood";
    case TSmtpFailure::Greeting:
        return "the mail server refused the connection";
    case TSmtpFailure::Hello:
        return "the mail server refused the greeting";
    case TSmtpFailure::AuthNotOffered:
        return "the mail server offers no AUTH LOGIN";
    case TSmtpFailure::AuthRejected:
        return "the mail server refused the account or password";
    case TSmtpFailure::SenderRejected:
        return "the mail server refused the sender";
    case TSmtpFailure::NoRecipient:
        return "the mail server refused every recipient";
    case TSmtpFailure::DataRejected:
        return "the mail server refused the message";
    case TSmtpFailure::MessageFailed:
        return "the message could not be sent completely";
    case TSmtpFailure::MessageRejected:
        return "the mail server did not accept the message";
    }
    return "";
}

TSmtpDialogue::TSmtpDialogue(TSmtpSessionSetup setup)
    : Setup(std::move(setup)), Recipients(SplitRecipients(Setup.Recipients)) {
    // Several recipients make no envelope sender; the first one does.
    if (Setup.Sender.empty() && !Recipients.empty()) Setup.Sender = Recipients.front();
}

TSmtpAction TSmtpDialogue::Send(TSmtpStep step, std::string line, int phases) {
    Current = step;
    return {TSmtpAction::SendAndRead, std::move(line), phases};
}

TSmtpAction TSmtpDialogue::Quit(TSmtpFailure failure, int phases) {
    if (Fault == TSmtpFailure::None && failure != TSmtpFailure::None) {
        Fault = failure;
        FaultStep = Current;
    }
    return Send(TSmtpStep::Quit, "QUIT", phases);
}

TSmtpAction TSmtpDialogue::Fail(TSmtpFailure failure) {
    if (Fault == TSmtpFailure::None) {
        Fault = failure;
        FaultStep = Current;
    }
    Current = TSmtpStep::Done;
    return {TSmtpAction::Close, {}, 0};
}

TSmtpAction TSmtpDialogue::Start() {
    if (Recipients.empty()) return Fail(TSmtpFailure::NoRecipient);
    return Send(TSmtpStep::Greeting, {});
}

TSmtpAction TSmtpDialogue::AfterHello() {
    if (Setup.Account.empty() && Setup.Password.empty()) return MailFrom(1);
    // Credentials go only to a server that asked for them in this way.
    if (!AuthOffered) return Quit(TSmtpFailure::AuthNotOffered, 1);
    return Send(TSmtpStep::AuthLogin, "AUTH LOGIN", 1);
}

TSmtpAction TSmtpDialogue::MailFrom(int phases) {
    return Send(TSmtpStep::MailFrom, "MAIL FROM:" + AngleAddress(Setup.Sender), phases + 1);
}

TSmtpAction TSmtpDialogue::NextRecipient(int phases) {
    if (NextRcpt < Recipients.size())
        return Send(TSmtpStep::RcptTo, "RCPT TO:" + AngleAddress(Recipients[NextRcpt++]), phases);
    if (Accepted.empty()) return Quit(TSmtpFailure::NoRecipient, phases);
    if (!Setup.HasMessage) return Send(TSmtpStep::Rset, "RSET", phases + 1);
    return Send(TSmtpStep::Data, "DATA", phases + 1);
}

TSmtpAction TSmtpDialogue::OnReply(const TSmtpReply& reply) {
    const int code = reply.Code;
    switch (Current) {
    case TSmtpStep::Greeting:
        if (code != 220) return Fail(TSmtpFailure::Greeting);
        return Send(TSmtpStep::Ehlo, "EHLO " + Setup.ComputerName);
    case TSmtpStep::Ehlo:
        if (code != 250) return Send(TSmtpStep::Helo, "HELO " + Setup.ComputerName);
        for (const std::string& line : reply.Lines)
            AuthOffered = AuthOffered || OffersAuthLogin(line);
        return AfterHello();
    case TSmtpStep::Helo:
        if (code != 250) return Fail(TSmtpFailure::Hello);
        return AfterHello();
    case TSmtpStep::AuthLogin:
        if (code != 334) return Quit(TSmtpFailure::AuthRejected);
        return Send(TSmtpStep::AuthAccount, EncodeBase64(Setup.Account));
    case TSmtpStep::AuthAccount:
        if (code != 334) return Quit(TSmtpFailure::AuthRejected);
        return Send(TSmtpStep::AuthPassword, EncodeBase64(Setup.Password));
    case TSmtpStep::AuthPassword:
        if (code != 235) return Quit(TSmtpFailure::AuthRejected);
        return MailFrom(0);
    case TSmtpStep::MailFrom:
        if (code != 250) return Quit(TSmtpFailure::SenderRejected);
        return NextRecipient(1);
    case TSmtpStep::RcptTo:
        if (code == 250 || code == 251) Accepted.push_back(Recipients[NextRcpt - 1]);
        return NextRecipient(0);
    case TSmtpStep::Rset:
        if (code != 250) return Quit(TSmtpFailure::MessageRejected);
        MessageAccepted = true;
        return Send(TSmtpStep::Quit, "QUIT");
    case TSmtpStep::Data:
        if (code != 354) return Quit(TSmtpFailure::DataRejected);
        Current = TSmtpStep::Message;
        return {TSmtpAction::SendMessage, {}, 1};
    case TSmtpStep::EndOfData:
        if (code != 250) return Quit(TSmtpFailure::MessageRejected);
        MessageAccepted = true;
        return Send(TSmtpStep::Quit, "QUIT", 1);
    case TSmtpStep::Quit:
        // A message the server took with "250" is delivered, whatever QUIT brings;
        // counting it as failed would send it again through the fall-backs.
        Current = TSmtpStep::Done;
        return {TSmtpAction::Close, {}, 1};
    case TSmtpStep::Message:
    case TSmtpStep::Done:
        break;
    }
    return Fail(TSmtpFailure::BadReply);
}

TSmtpAction TSmtpDialogue::OnReadFailure(TReplyStatus status) {
    if (Current == TSmtpStep::Quit) {
        Current = TSmtpStep::Done;
        return {TSmtpAction::Close, {}, 0};
    }
    return Fail(status == TReplyStatus::Malformed ? TSmtpFailure::BadReply
                                                  : TSmtpFailure::NoConnection);
}

TSmtpAction TSmtpDialogue::OnMessageSent(bool ok) {
    if (Current != TSmtpStep::Message) return Fail(TSmtpFailure::BadReply);
    // Mid-message the server reads everything as text: no QUIT, only closing.
    if (!ok) return Fail(TSmtpFailure::MessageFailed);
    return Send(TSmtpStep::EndOfData, "\r\n.");
}

TSmtpOutcome RunSmtpSession(const TSmtpSessionSetup& setup, const TMailMessage& message,
                            IByteChannel& channel, IProgressAlert* progress) {
    TSmtpDialogue dialogue(setup);
    TSmtpReplyReader reader;
    TSmtpOutcome outcome;
    TSmtpAction action = dialogue.Start();
    while (true) {
        for (int i = 0; progress && i < action.PhasesDone; ++i)
            progress->PhaseDone();
        if (action.Kind == TSmtpAction::Close) break;
        if (action.Kind == TSmtpAction::SendMessage) {
            TDotStuffer stuffer([&channel](std::string_view s) { return channel.Send(s); });
            const bool ok = WriteMailMessage(
                message, [&stuffer](std::string_view s) { return stuffer.Write(s); }, progress);
            action = dialogue.OnMessageSent(ok);
            continue;
        }
        if (!action.Line.empty() && !channel.Send(action.Line + "\r\n")) {
            action = dialogue.OnReadFailure(TReplyStatus::Failed);
            continue;
        }
        TSmtpReply reply;
        const TReplyStatus status = reader.Read(channel, reply);
        if (status == TReplyStatus::Ok) {
            outcome.LastReply = reply;
            action = dialogue.OnReply(reply);
        } else {
            action = dialogue.OnReadFailure(status);
        }
    }
    outcome.Delivered = dialogue.Delivered();
    outcome.Failure = dialogue.Failure();
    outcome.FailedStep = dialogue.FailedStep();
    return outcome;
}

} // namespace qix
