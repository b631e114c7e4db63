// Sending a report with a 1 MB attachment over loopback: our SMTP session and upload
// against curl sending the same bytes to the same servers (aiosmtpd, http.server).
// Wall-clock time per send; the ratio of each pair is the figure to watch. curl is told
// not to wait for "100 Continue", which http.server never sends.
#include <benchmark/benchmark.h>

#include "crashreport/delivery/qixExceptSend_Http.h"
#include "crashreport/delivery/qixExceptSend_Smtp.h"
#include "tests/crashreport/delivery/qixLoopback.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace {

namespace fs = std::filesystem;

struct TBenchSetup {
    fs::path Dir = fs::temp_directory_path() / "qixsend-bench";
    std::unique_ptr<qix::test::TServerProcess> Servers;
    std::string File, Message;
    qix::TSmtpSessionSetup Session;
    qix::TMailMessage Mail;
    qix::TUploadRequest Upload;

    TBenchSetup() {
        fs::remove_all(Dir);
        fs::create_directories(Dir / "spool");
        std::string bytes;
        for (int i = 0; i < 1 << 20; ++i)
            bytes += char((i * 2654435761u) >> 24);
        File = (Dir / "attach.bin").string();
        std::ofstream(File, std::ios::binary) << bytes;
        Servers = std::make_unique<qix::test::TServerProcess>(
            std::vector<std::string>{"/usr/bin/python3", QIX_LOOPSERVERS, (Dir / "spool").string(),
                                     "example.org", "mx.example.org"},
            Dir / "spool" / "ports");
        Session.ComputerName = "PC";
        Session.Sender = "crash@x.org";
        Session.Recipients = "dev@example.org";
        Mail.To = Session.Recipients;
        Mail.From = Session.Sender;
        Mail.Subject = "bug report";
        Mail.Body = "please find the bug report attached";
        Mail.Attachments = {{File, "attach.bin"}};
        Message = (Dir / "message.eml").string();
        std::ofstream(Message, std::ios::binary) << qix::BuildMailMessage(Mail);
        Upload.Target = qix::ParseUploadUrl("http://127.0.0.1/submit", 80);
        Upload.Files = {{File, "Attachment", "attach.bin", 0}};
        qix::PlanUploadFiles(Upload.Files);
    }
    ~TBenchSetup() {
        Servers.reset();
        std::error_code ec;
        fs::remove_all(Dir, ec);
    }
    bool Ready() const { return Servers && Servers->Ports.size() == 3; }
    int SmtpPort() const { return Servers->Ports[1]; }
    int HttpPort() const { return Servers->Ports[2]; }
};

TBenchSetup& Setup() {
    static TBenchSetup setup;
    return setup;
}

void BM_SmtpOurs(benchmark::State& state) {
    TBenchSetup& s = Setup();
    if (!s.Ready()) return state.SkipWithError("loopback servers did not start");
    for (auto _ : state) {
        qix::test::TLoopbackChannel channel(s.SmtpPort());
        if (!RunSmtpSession(s.Session, s.Mail, channel).Delivered)
            return state.SkipWithError("not delivered");
    }
}
BENCHMARK(BM_SmtpOurs)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

void BM_SmtpCurl(benchmark::State& state) {
    TBenchSetup& s = Setup();
    if (!s.Ready()) return state.SkipWithError("loopback servers did not start");
    const std::string command = "curl -s --url smtp://127.0.0.1:" + std::to_string(s.SmtpPort()) +
                                " --mail-from crash@x.org --mail-rcpt dev@example.org "
                                "--upload-file '" +
                                s.Message + "'";
    for (auto _ : state)
        if (std::system(command.c_str()) != 0) return state.SkipWithError("curl failed");
}
BENCHMARK(BM_SmtpCurl)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

void BM_UploadOurs(benchmark::State& state) {
    TBenchSetup& s = Setup();
    if (!s.Ready()) return state.SkipWithError("loopback servers did not start");
    for (auto _ : state) {
        qix::test::TLoopbackChannel channel(s.HttpPort());
        if (!RunUpload(s.Upload, channel).Succeeded()) return state.SkipWithError("not delivered");
    }
}
BENCHMARK(BM_UploadOurs)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

void BM_UploadCurl(benchmark::State& state) {
    TBenchSetup& s = Setup();
    if (!s.Ready()) return state.SkipWithError("loopback servers did not start");
    const std::string command =
        "curl -s -o /dev/null -H 'Expect:' -F 'Attachment=@" + s.File +
        ";type=application/octet-stream' http://127.0.0.1:" + std::to_string(s.HttpPort()) +
        "/submit";
    for (auto _ : state)
        if (std::system(command.c_str()) != 0) return state.SkipWithError("curl failed");
}
BENCHMARK(BM_UploadCurl)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
