// The SMTP reply reader and the dialogue, against scripted servers: the transcript the
// client sends is compared with hand-written dialogues.
#include "crashreport/delivery/qixExceptSend_Smtp.h"

#include "qixSendTestUtil.h"

#include <gtest/gtest.h>

namespace qix {
namespace {

using test::TCountingProgress;
using test::TScriptedChannel;

TReplyStatus ReadOne(TScriptedChannel& channel, TSmtpReply& reply) {
    TSmtpReplyReader reader;
    return reader.Read(channel, reply);
}

TEST(SmtpReplyReader, MultiLineRepliesInAnyPieces) {
    const std::string text = "250-mail.example.org greets PC\r\n250-AUTH=LOGIN PLAIN\r\n"
                             "250-SIZE 1000\r\n250 HELP\r\n";
    for (size_t piece : {1u, 2u, 5u, 1024u}) {
        TScriptedChannel channel;
        for (size_t at = 0; at < text.size(); at += piece)
            channel.Pieces.push_back(text.substr(at, piece));
        TSmtpReply reply;
        ASSERT_EQ(ReadOne(channel, reply), TReplyStatus::Ok) << piece;
        EXPECT_EQ(reply.Code, 250);
        EXPECT_EQ(reply.Lines, (std::vector<std::string>{"mail.example.org greets PC",
                                                         "AUTH=LOGIN PLAIN", "SIZE 1000", "HELP"}));
    }
}

TEST(SmtpReplyReader, BareLinesAndRepliesThatFollow) {
    TSmtpReplyReader reader;
    reader.Feed("220\n354 go ahead\r\n221-bye");
    TSmtpReply reply;
    TReplyStatus status;
    ASSERT_TRUE(reader.TakeReply(reply, status));
    EXPECT_EQ(reply.Code, 220);
    EXPECT_EQ(reply.Lines, std::vector<std::string>{""});
    ASSERT_TRUE(reader.TakeReply(reply, status));
    EXPECT_EQ(reply.Code, 354);
    EXPECT_FALSE(reader.TakeReply(reply, status)); // the rest is not a whole line yet
    EXPECT_EQ(status, TReplyStatus::Ok);
    reader.Feed("\r\n221 done\r\n");
    ASSERT_TRUE(reader.TakeReply(reply, status));
    EXPECT_EQ(reply.Lines, (std::vector<std::string>{"bye", "done"}));
}

TEST(SmtpReplyReader, BrokenRepliesAndEarlyEnds) {
    for (const char* bad : {"25\r\n", "abc hello\r\n", "250x\r\n", "250-a\r\n354 b\r\n",
                            "650 no such class\r\n", "HTTP/1.1 200 OK\r\n"}) {
        TScriptedChannel channel;
        channel.Pieces = {bad};
        TSmtpReply reply;
        EXPECT_EQ(ReadOne(channel, reply), TReplyStatus::Malformed) << bad;
    }
    TScriptedChannel closes;
    closes.Pieces = {"250-first line\r\n", "250-second"};
    TSmtpReply reply;
    EXPECT_EQ(ReadOne(closes, reply), TReplyStatus::Closed);
    TScriptedChannel silent;
    silent.AtEnd = TReceiveStatus::TimedOut;
    EXPECT_EQ(ReadOne(silent, reply), TReplyStatus::TimedOut);
    TScriptedChannel fails;
    fails.AtEnd = TReceiveStatus::Failed;
    EXPECT_EQ(ReadOne(fails, reply), TReplyStatus::Failed);
    // A server that never ends its reply is cut off, not followed forever.
    TScriptedChannel endless;
    endless.Pieces.assign(200, std::string(1000, 'x'));
    EXPECT_EQ(ReadOne(endless, reply), TReplyStatus::Malformed);
    EXPECT_LT(endless.Receives, 100u);
    TScriptedChannel manyLines;
    for (int i = 0; i < 10000; ++i)
        manyLines.Pieces.push_back("250-more\r\n");
    EXPECT_EQ(ReadOne(manyLines, reply), TReplyStatus::Malformed);
}

TEST(SmtpAuthOffer, FromTheEhloLines) {
    EXPECT_TRUE(OffersAuthLogin("AUTH LOGIN PLAIN"));
    EXPECT_TRUE(OffersAuthLogin("auth plain login"));
    EXPECT_TRUE(OffersAuthLogin("AUTH=LOGIN"));
    EXPECT_TRUE(OffersAuthLogin("AUTH CRAM-MD5 LOGIN"));
    EXPECT_FALSE(OffersAuthLogin("AUTH PLAIN"));
    EXPECT_FALSE(OffersAuthLogin("AUTH LOGINX"));
    EXPECT_FALSE(OffersAuthLogin("XAUTH LOGIN"));
    EXPECT_FALSE(OffersAuthLogin("SIZE LOGIN"));
}

class SmtpSession : public ::testing::Test {
protected:
    TSmtpSessionSetup Setup;
    TMailMessage Message;
    TScriptedChannel Channel;
    TCountingProgress Progress;

    SmtpSession() {
        Setup.ComputerName = "PC";
        Setup.Sender = "qixExcept <crash@x.org>";
        Setup.Recipients = "dev@example.org";
        Message.To = Setup.Recipients;
        Message.From = Setup.Sender;
        Message.Subject = "bug";
        Message.Body = ".dot\n.";
        Message.Date = {2026, 12, 8, 6, 5, 9};
        Message.FileTime = 0x10;
    }
    // The message as the data phase carries it, worked out by hand from the header rules.
    static std::string StuffedMessage() {
        return "To: <dev@example.org>\r\n"
               "From: qixExcept <crash@x.org>\r\n"
               "Subject: =?ISO-8859-1?Q?bug?=\r\n"
               "Date: 8 Dec 2026 06:05:09 UT\r\n"
               "Message-ID: <0000000000000010@qixExcept>\r\n"
               "\r\n"
               "..dot\r\n"
               "..";
    }
    TSmtpOutcome Run(std::initializer_list<const char*> replies) {
        for (const char* r : replies)
            Channel.Pieces.emplace_back(r);
        return RunSmtpSession(Setup, Message, Channel, &Progress);
    }
};

TEST_F(SmtpSession, RelayWithAuthLogin) {
    Setup.Account = "user";
    Setup.Password = "secret";
    const TSmtpOutcome out =
        Run({"220 mail ready\r\n", "250-mail\r\n250-AUTH=LOGIN\r\n250 8BITMIME\r\n",
             "334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n", "235 ok\r\n", "250 sender ok\r\n",
             "250 rcpt ok\r\n", "354 go\r\n", "250 queued\r\n", "221 bye\r\n"});
    EXPECT_TRUE(out.Delivered);
    EXPECT_EQ(out.Failure, TSmtpFailure::None);
    // Published base64: "user" is "dXNlcg==", "secret" is "c2VjcmV0".
    EXPECT_EQ(Channel.Sent, "EHLO PC\r\nAUTH LOGIN\r\ndXNlcg==\r\nc2VjcmV0\r\n"
                            "MAIL FROM:<crash@x.org>\r\nRCPT TO:<dev@example.org>\r\nDATA\r\n" +
                                StuffedMessage() + "\r\n.\r\nQUIT\r\n");
    // Hello, authentication, sender, recipients, DATA, header, end of data, QUIT.
    EXPECT_EQ(Progress.Done, 8);
}

TEST_F(SmtpSession, WrongPasswordEndsWithQuit) {
    Setup.Account = "user";
    Setup.Password = "wrong";
    const TSmtpOutcome out = Run({"220 ready\r\n", "250 AUTH LOGIN\r\n", "334 a\r\n", "334 b\r\n",
                                  "535 5.7.8 authentication failed\r\n", "221 bye\r\n"});
    EXPECT_FALSE(out.Delivered);
    EXPECT_EQ(out.Failure, TSmtpFailure::AuthRejected);
    EXPECT_EQ(out.FailedStep, TSmtpStep::AuthPassword);
    EXPECT_EQ(Channel.Sent, "EHLO PC\r\nAUTH LOGIN\r\ndXNlcg==\r\nd3Jvbmc=\r\nQUIT\r\n");
}

TEST_F(SmtpSession, CredentialsStayHomeWithoutAuthLogin) {
    Setup.Account = "user";
    Setup.Password = "secret";
    const TSmtpOutcome out =
        Run({"220 ready\r\n", "250-mail\r\n250 AUTH PLAIN\r\n", "221 bye\r\n"});
    EXPECT_FALSE(out.Delivered);
    EXPECT_EQ(out.Failure, TSmtpFailure::AuthNotOffered);
    EXPECT_EQ(Channel.Sent, "EHLO PC\r\nQUIT\r\n");
}

TEST_F(SmtpSession, HeloWhenEhloIsRefused) {
    const TSmtpOutcome out = Run({"220 ready\r\n", "502 no\r\n", "250 hi\r\n", "250 ok\r\n",
                                  "250 ok\r\n", "354 go\r\n", "250 ok\r\n", "221 bye\r\n"});
    EXPECT_TRUE(out.Delivered);
    EXPECT_EQ(Channel.Sent, "EHLO PC\r\nHELO PC\r\nMAIL FROM:<crash@x.org>\r\n"
                            "RCPT TO:<dev@example.org>\r\nDATA\r\n" +
                                StuffedMessage() + "\r\n.\r\nQUIT\r\n");
}

TEST_F(SmtpSession, RefusedGreetingsAndHellos) {
    EXPECT_EQ(Run({"554 go away\r\n"}).Failure, TSmtpFailure::Greeting);
    EXPECT_EQ(Channel.Sent, "");
    Channel = {};
    const TSmtpOutcome out = Run({"220 ready\r\n", "502 no\r\n", "502 no\r\n"});
    EXPECT_EQ(out.Failure, TSmtpFailure::Hello);
    EXPECT_EQ(Channel.Sent, "EHLO PC\r\nHELO PC\r\n");
}

TEST_F(SmtpSession, ServerThatClosesOrFallsSilent) {
    TSmtpOutcome out = Run({"220 ready\r\n", "250 hi\r\n"});
    EXPECT_EQ(out.Failure, TSmtpFailure::NoConnection);
    EXPECT_EQ(out.FailedStep, TSmtpStep::MailFrom);
    EXPECT_FALSE(out.Delivered);
    Channel = {};
    Channel.AtEnd = TReceiveStatus::TimedOut;
    out = Run({"220 ready\r\n", "250 hi\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n"});
    EXPECT_EQ(out.Failure, TSmtpFailure::NoConnection);
    EXPECT_EQ(out.FailedStep, TSmtpStep::EndOfData);
    EXPECT_FALSE(out.Delivered);
    Channel = {};
    out = Run({"220 ready\r\n", "250 hi\r\n", "<html>\r\n"});
    EXPECT_EQ(out.Failure, TSmtpFailure::BadReply);
}

TEST_F(SmtpSession, RecipientsOneByOne) {
    Setup.Recipients = "a@x.org; Bee <b@y.org>, c@z.org";
    Setup.Sender.clear(); // the first recipient stands in
    TSmtpOutcome out =
        Run({"220 ready\r\n", "250 hi\r\n", "250 ok\r\n", "550 no such user\r\n", "250 ok\r\n",
             "551 not here\r\n", "354 go\r\n", "250 ok\r\n", "221 bye\r\n"});
    EXPECT_TRUE(out.Delivered);
    EXPECT_NE(Channel.Sent.find("MAIL FROM:<a@x.org>\r\nRCPT TO:<a@x.org>\r\nRCPT TO:<b@y.org>"
                                "\r\nRCPT TO:<c@z.org>\r\nDATA\r\n"),
              std::string::npos);
    Channel = {};
    out = Run({"220 ready\r\n", "250 hi\r\n", "250 ok\r\n", "550 a\r\n", "550 b\r\n", "550 c\r\n",
               "221 bye\r\n"});
    EXPECT_EQ(out.Failure, TSmtpFailure::NoRecipient);
    EXPECT_EQ(Channel.Sent.substr(Channel.Sent.size() - 6), "QUIT\r\n");
}

TEST_F(SmtpSession, RefusedSenderDataOrMessage) {
    EXPECT_EQ(Run({"220 r\r\n", "250 h\r\n", "553 bad sender\r\n", "221 b\r\n"}).Failure,
              TSmtpFailure::SenderRejected);
    Channel = {};
    EXPECT_EQ(Run({"220 r\r\n", "250 h\r\n", "250 ok\r\n", "250 ok\r\n", "503 no\r\n", "221 b\r\n"})
                  .Failure,
              TSmtpFailure::DataRejected);
    Channel = {};
    const TSmtpOutcome out = Run({"220 r\r\n", "250 h\r\n", "250 ok\r\n", "250 ok\r\n",
                                  "354 go\r\n", "552 too big\r\n", "221 b\r\n"});
    EXPECT_EQ(out.Failure, TSmtpFailure::MessageRejected);
    EXPECT_FALSE(out.Delivered);
}

TEST_F(SmtpSession, AcceptedMessageStaysDeliveredWhateverQuitBrings) {
    EXPECT_TRUE(Run({"220 r\r\n", "250 h\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n",
                     "250 queued\r\n", "500 what\r\n"})
                    .Delivered);
    Channel = {};
    EXPECT_TRUE(
        Run({"220 r\r\n", "250 h\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n", "250 queued\r\n"})
            .Delivered);
}

TEST_F(SmtpSession, NothingToSayMeansReset) {
    Setup.HasMessage = false;
    const TSmtpOutcome out =
        Run({"220 r\r\n", "250 h\r\n", "250 ok\r\n", "250 ok\r\n", "250 reset\r\n", "221 b\r\n"});
    EXPECT_TRUE(out.Delivered);
    EXPECT_EQ(
        Channel.Sent,
        "EHLO PC\r\nMAIL FROM:<crash@x.org>\r\nRCPT TO:<dev@example.org>\r\nRSET\r\nQUIT\r\n");
}

TEST_F(SmtpSession, BrokenConnectionInTheMiddleOfTheMessage) {
    test::TTempDir dir;
    Message.Attachments = {{dir.File("big.bin", std::string(50000, 'z')), "big.bin"}};
    Channel.FailSendAfter = 5000;
    const TSmtpOutcome out =
        Run({"220 r\r\n", "250 h\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n", "250 ok\r\n"});
    EXPECT_EQ(out.Failure, TSmtpFailure::MessageFailed);
    EXPECT_FALSE(out.Delivered);
    // No end of data and no QUIT: the server must not take half a message.
    EXPECT_EQ(Channel.Sent.find("\r\n.\r\n"), std::string::npos);
}

TEST_F(SmtpSession, NoRecipientsNoConnectionUsed) {
    Setup.Recipients = " ; ";
    const TSmtpOutcome out = Run({"220 r\r\n"});
    EXPECT_EQ(out.Failure, TSmtpFailure::NoRecipient);
    EXPECT_EQ(Channel.Receives, 0u);
}

} // namespace
} // namespace qix
