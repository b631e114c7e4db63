#include "crashreport/delivery/qixExceptSend_Job.h"

#include "crashreport/delivery/qixExceptSend_Mime.h"

namespace qix {

std::vector<TSendPhase> OverviewPhases(TSendChannel channel, bool attachments) {
    std::vector<TSendPhase> phases = {{"PrepAttMsg", 100}};
    if (channel == TSendChannel::None) return phases;
    if (channel == TSendChannel::SmtpDirect) phases.push_back({"MxLookMsg", 100});
    phases.push_back({"ConnMsg", 100});
    if (channel == TSendChannel::HttpUpload) {
        phases.push_back({"FieldMsg", 100});
    } else {
        phases.push_back({"AuthMsg", 200});
        phases.push_back({"SendMailMsg", 100});
    }
    if (attachments) phases.push_back({"SendAttMsg", 100});
    phases.push_back({"SendFinalMsg", 100});
    return phases;
}

std::vector<TSendPhase> SmtpSessionPhases(bool withMxLookup,
                                          const std::vector<uint64_t>& attachmentSizes) {
    std::vector<TSendPhase> phases;
    if (withMxLookup) phases.push_back({"MxLookMsg", 500});
    phases.insert(phases.end(), {{"ConnMsg", 100},
                                 {"", 100},
                                 {"", 200},
                                 {"AuthMsg", 200},
                                 {"SendMailMsg", 100},
                                 {"", 100},
                                 {"", 100},
                                 {"", 100},
                                 {"", 100},
                                 {"", 100}});
    // Three units per base64 line of 57 bytes.
    for (uint64_t size : attachmentSizes)
        if (size) phases.push_back({"SendAttMsg", (size + 56) / 57 * 3});
    phases.insert(phases.end(), {{"SendFinalMsg", 500}, {"", 100}});
    return phases;
}

std::vector<TSendPhase> UploadPhases(uint64_t fieldsLength, const std::vector<uint64_t>& parts) {
    std::vector<TSendPhase> phases = {
        {"ConnMsg", 100}, {"", 100}, {"FieldMsg", fieldsLength + 100}};
    for (uint64_t part : parts)
        phases.push_back({"SendAttMsg", part / 16});
    phases.insert(phases.end(), {{"", 100}, {"SendFinalMsg", 500}});
    return phases;
}

std::string SenderFor(std::string_view mailFrom, std::string_view mailAddr) {
    if (!mailFrom.empty()) return std::string(mailFrom);
    const std::vector<std::string> recipients = SplitRecipients(mailAddr);
    return recipients.empty() ? std::string() : "qixExcept " + AngleAddress(recipients.front());
}

std::string ExceptionMessageOf(std::string_view report) {
    constexpr std::string_view kKey = "\nexception message";
    const size_t at = report.find(kKey);
    if (at == std::string_view::npos) return {};
    std::string_view line = report.substr(at + 1);
    line = line.substr(0, line.find('\n'));
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return {};
    line.remove_prefix(colon + 1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
        line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
        line.remove_suffix(1);
    return std::string(line);
}

int ScreenshotPngMode(int32_t depth) {
    switch (depth) {
    case 4:
        return 1;
    case 51200:
        return 2;
    case 102400:
        return 3;
    case 204800:
        return 4;
    case 307200:
        return 5;
    default:
        return 0;
    }
}

} // namespace qix
