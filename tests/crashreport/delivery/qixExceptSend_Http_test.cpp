// The upload request: hand-counted bytes and Content-Length, the body read back by
// Python's email parser (a multipart reader that is not ours), and the answer reader.
#include "crashreport/delivery/qixExceptSend_Http.h"

#include "qixSendTestUtil.h"

#include <gtest/gtest.h>

namespace qix {
namespace {

using test::Hex;
using test::RunTool;
using test::TScriptedChannel;
using test::TTempDir;

const std::string B = "qix.7Rv2Lk.q0x_multipart_boundary";

TEST(UploadUrl, HostPathAndProxy) {
    TUploadTarget t = ParseUploadUrl("http://upload.example.org/bugs/post.php?x=1", 8080);
    EXPECT_EQ(t.ConnectHost, "upload.example.org");
    EXPECT_EQ(t.HostHeader, "upload.example.org:8080");
    EXPECT_EQ(t.RequestTarget, "/bugs/post.php?x=1");
    EXPECT_EQ(t.Port, 8080);
    t = ParseUploadUrl("http://upload.example.org/bugs/post.php", 80, "http://proxy.lan");
    EXPECT_EQ(t.ConnectHost, "proxy.lan");
    EXPECT_EQ(t.HostHeader, "upload.example.org:80");
    EXPECT_EQ(t.RequestTarget, "http://upload.example.org/bugs/post.php");
    t = ParseUploadUrl("up.example.org", 80, "proxy.lan");
    EXPECT_EQ(t.RequestTarget, "http://up.example.org/");
    // No path: the root; a port in the URL gives way to the configured one.
    t = ParseUploadUrl("upload.example.org:81", 80);
    EXPECT_EQ(t.ConnectHost, "upload.example.org");
    EXPECT_EQ(t.HostHeader, "upload.example.org:80");
    EXPECT_EQ(t.RequestTarget, "/");
}

class Upload : public ::testing::Test {
protected:
    TTempDir Dir;
    TUploadRequest Request;
    Upload() {
        Request.Target = ParseUploadUrl("http://up.example.org/post", 80);
        Request.Fields = {{"MailFrom", "a@b.c"}};
    }
};

TEST_F(Upload, HandCountedRequest) {
    Request.Files = {{Dir.File("r.txt", "Man"), "BugReport", "bugreport.txt"}};
    PlanUploadFiles(Request.Files);
    // Fields: 2 + 2 + 33 + 2 + 37 + 10 + 4 + 5 = 95; file part: 135 + 9 + 13 + 3 = 160;
    // closing line without its CR LF: 39.
    EXPECT_EQ(BuildFieldsText(Request.Fields).size(), 95u);
    EXPECT_EQ(UploadPartLength(Request.Files[0]), 160u);
    EXPECT_EQ(UploadContentLength(Request), 294u);
    const std::string want = "POST /post HTTP/1.1\r\n"
                             "Host: up.example.org:80\r\n"
                             "Connection: close\r\n"
                             "Pragma: no-cache\r\n"
                             "User-Agent: qixExcept/3.0\r\n"
                             "Content-Type: multipart/form-data; boundary=" +
                             B +
                             "\r\n"
                             "Content-Length: 294\r\n"
                             "\r\n--" +
                             B +
                             "\r\n"
                             "Content-Disposition: form-data; name=\"MailFrom\"\r\n"
                             "\r\n"
                             "a@b.c"
                             "\r\n--" +
                             B +
                             "\r\n"
                             "Content-Disposition: form-data; name=\"BugReport\"; "
                             "filename=\"bugreport.txt\"\r\n"
                             "Content-Type: application/octet-stream\r\n"
                             "\r\n"
                             "Man"
                             "\r\n--" +
                             B + "--\r\n";
    const std::string built = BuildUpload(Request);
    EXPECT_EQ(built, want);
    EXPECT_EQ(built.size() - built.find("\r\n\r\n") - 4, 294u);
}

TEST_F(Upload, SenderAndCredentialsInTheHeader) {
    Request.Sender = "qixExcept <crash@x.org>";
    Request.Account = "user";
    Request.Password = "secret";
    const std::string head = BuildUploadHead(Request);
    // Published base64 of "user:secret".
    EXPECT_NE(head.find("\r\nFrom: <crash@x.org>\r\nAuthorization: Basic dXNlcjpzZWNyZXQ=\r\n"),
              std::string::npos);
}

TEST_F(Upload, NothingButTheClosingLine) {
    Request.Fields.clear();
    EXPECT_EQ(UploadContentLength(Request), 39u);
    const std::string built = BuildUpload(Request);
    EXPECT_EQ(built.substr(built.size() - 41), "\r\n--" + B + "--\r\n");
}

TEST_F(Upload, EmptyAndMissingFilesAreLeftOut) {
    const uint64_t without = UploadContentLength(Request);
    Request.Files = {{Dir.File("empty.bin", ""), "Empty", "empty.bin"},
                     {(Dir.Path / "gone.bin").string(), "Gone", "gone.bin"}};
    PlanUploadFiles(Request.Files);
    EXPECT_EQ(UploadContentLength(Request), without);
    EXPECT_EQ(BuildUpload(Request).find("filename="), std::string::npos);
}

TEST_F(Upload, FileThatChangedAfterPlanningFails) {
    Request.Files = {{Dir.File("r.txt", "12345"), "BugReport", "r.txt"}};
    PlanUploadFiles(Request.Files);
    Dir.File("r.txt", "123");
    EXPECT_EQ(BuildUpload(Request), "");
    Dir.File("r.txt", "1234567");
    EXPECT_EQ(BuildUpload(Request), "");
}

TEST_F(Upload, PythonReadsEveryFieldAndFile) {
    std::string binary;
    for (int i = 0; i < 3000; ++i)
        binary += char((i * 31 + 7) & 0xff);
    binary += "\r\n--" + B.substr(0, 10); // a near-boundary inside the data
    Request.Sender = "crash@x.org";
    Request.Fields = {{"MailFrom", "crash@x.org"}, {"Comment", "line 1\r\nline 2"}};
    Request.Files = {{Dir.File("bugreport.txt", "report\r\n.\r\n"), "BugReport", "bugreport.txt"},
                     {Dir.File("attach.zip", binary), "attach.zip", "attach.zip"}};
    PlanUploadFiles(Request.Files);
    const std::string path = Dir.File("request.bin", BuildUpload(Request));
    const std::string facts = RunTool("/usr/bin/python3 " QIX_FORMPARSE " '" + path + "'");
    const std::string length = std::to_string(UploadContentLength(Request));
    test::ExpectSameLines(
        facts, "request POST /post HTTP/1.1\n"
               "header Host: up.example.org:80\n"
               "header Connection: close\n"
               "header Pragma: no-cache\n"
               "header User-Agent: qixExcept/3.0\n"
               "header Content-Type: multipart/form-data; boundary=" +
                   B +
                   "\n"
                   "header Content-Length: " +
                   length +
                   "\n"
                   "header From: <crash@x.org>\n"
                   "length announced=" +
                   length + " actual=" + length +
                   "\n"
                   "defects 0\n"
                   "part name=MailFrom filename=None type=None defects=0 hex=" +
                   Hex("crash@x.org") +
                   "\n"
                   "part name=Comment filename=None type=None defects=0 hex=" +
                   Hex("line 1\r\nline 2") +
                   "\n"
                   "part name=BugReport filename=bugreport.txt type=application/octet-stream "
                   "defects=0 hex=" +
                   Hex("report\r\n.\r\n") +
                   "\n"
                   "part name=attach.zip filename=attach.zip type=application/octet-stream "
                   "defects=0 hex=" +
                   Hex(binary) + "\n");
}

THttpReplyStatus ReadReply(std::initializer_list<const char*> pieces, THttpReply& reply,
                           TReceiveStatus atEnd = TReceiveStatus::Closed) {
    TScriptedChannel channel;
    for (const char* p : pieces)
        channel.Pieces.emplace_back(p);
    channel.AtEnd = atEnd;
    THttpReplyReader reader;
    return reader.Read(channel, reply);
}

TEST(HttpReplyReader, StatusLinesAndHeaders) {
    THttpReply reply;
    ASSERT_EQ(ReadReply({"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 2", "00 OK\r\nServer: x\r\n",
                         "content-length: 2\r\n\r\nok"},
                        reply),
              THttpReplyStatus::Ok);
    EXPECT_EQ(reply.Code, 200);
    EXPECT_EQ(reply.Reason, "OK");
    EXPECT_EQ(reply.Header("Content-Length"), "2");
    ASSERT_EQ(ReadReply({"HTTP/1.0 302 Found\nLOCATION: http://x.org/thanks?id=1\n\n"}, reply),
              THttpReplyStatus::Ok);
    EXPECT_EQ(reply.Code, 302);
    EXPECT_EQ(reply.Header("location"), "http://x.org/thanks?id=1");
    // Closed after the status line: the status still counts.
    ASSERT_EQ(ReadReply({"HTTP/1.1 500 Internal Server Error\r\n"}, reply), THttpReplyStatus::Ok);
    EXPECT_EQ(reply.Code, 500);
}

TEST(HttpReplyReader, NoAnswerOrNoHttp) {
    THttpReply reply;
    EXPECT_EQ(ReadReply({}, reply), THttpReplyStatus::Closed);
    EXPECT_EQ(ReadReply({"HTTP/1.1 20"}, reply), THttpReplyStatus::Closed);
    EXPECT_EQ(ReadReply({"HTTP/1.1 200 OK\r\n"}, reply, TReceiveStatus::TimedOut),
              THttpReplyStatus::TimedOut);
    EXPECT_EQ(ReadReply({}, reply, TReceiveStatus::Failed), THttpReplyStatus::Failed);
    for (const char* bad : {"220 smtp ready\r\n\r\n", "HTTP/1.1 abc\r\n\r\n", "HTTP/1.1\r\n\r\n",
                            "HTTP/1.1 2000 x\r\n\r\n", "HTTP/1.1 700 x\r\n\r\n"})
        EXPECT_EQ(ReadReply({bad}, reply), THttpReplyStatus::Malformed) << bad;
    TScriptedChannel endless;
    endless.Pieces.assign(100, std::string(5000, 'h'));
    THttpReplyReader reader;
    EXPECT_EQ(reader.Read(endless, reply), THttpReplyStatus::Malformed);
    TScriptedChannel continues;
    for (int i = 0; i < 1000; ++i)
        continues.Pieces.emplace_back("HTTP/1.1 100 Continue\r\n\r\n");
    THttpReplyReader reader2;
    EXPECT_EQ(reader2.Read(continues, reply), THttpReplyStatus::Closed);
}

TEST(UploadJudgement, StatusCodesDecide) {
    THttpReply reply;
    reply.Code = 200;
    EXPECT_EQ(JudgeUploadReply(THttpReplyStatus::Ok, reply).Result, TUploadResult::Delivered);
    reply.Code = 302;
    reply.Headers = {{"Location", "https://x.org/thanks"}};
    TUploadOutcome out = JudgeUploadReply(THttpReplyStatus::Ok, reply);
    EXPECT_EQ(out.Result, TUploadResult::Redirected);
    EXPECT_TRUE(out.Succeeded());
    EXPECT_EQ(out.BrowserUrl, "https://x.org/thanks");
    // Only web pages go to the shell.
    for (const char* other : {"file:///c:/windows/system32/calc.exe", "c:\\evil.exe",
                              "http://x.org/a b", "javascript:alert(1)", ""}) {
        reply.Headers = {{"Location", other}};
        out = JudgeUploadReply(THttpReplyStatus::Ok, reply);
        EXPECT_EQ(out.Result, TUploadResult::Redirected);
        EXPECT_EQ(out.BrowserUrl, "") << other;
    }
    for (int code : {201, 301, 400, 401, 404, 500, 503}) {
        reply.Code = code;
        out = JudgeUploadReply(THttpReplyStatus::Ok, reply);
        EXPECT_EQ(out.Result, TUploadResult::Rejected) << code;
        EXPECT_FALSE(out.Succeeded());
    }
    EXPECT_EQ(JudgeUploadReply(THttpReplyStatus::TimedOut, reply).Result, TUploadResult::NoAnswer);
    EXPECT_EQ(JudgeUploadReply(THttpReplyStatus::Malformed, reply).Result,
              TUploadResult::BadAnswer);
}

TEST_F(Upload, WholeExchangeOverAChannel) {
    Request.Files = {{Dir.File("r.txt", std::string(5000, 'r')), "BugReport", "r.txt"}};
    PlanUploadFiles(Request.Files);
    TScriptedChannel channel;
    channel.Pieces = {"HTTP/1.1 200 OK\r\n\r\n"};
    test::TCountingProgress progress;
    EXPECT_EQ(RunUpload(Request, channel, &progress).Result, TUploadResult::Delivered);
    EXPECT_EQ(channel.Sent, BuildUpload(Request));
    EXPECT_EQ(progress.Done, 4); // head and fields, the file, the closing line, the answer
    TScriptedChannel broken;
    broken.FailSendAfter = 1000;
    EXPECT_EQ(RunUpload(Request, broken).Result, TUploadResult::SendFailed);
    TScriptedChannel refuses;
    refuses.Pieces = {"HTTP/1.1 503 Service Unavailable\r\n\r\n"};
    const TUploadOutcome out = RunUpload(Request, refuses);
    EXPECT_EQ(out.Result, TUploadResult::Rejected);
    EXPECT_EQ(out.Code, 503);
}

} // namespace
} // namespace qix
