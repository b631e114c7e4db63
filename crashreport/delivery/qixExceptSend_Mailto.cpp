#include "crashreport/delivery/qixExceptSend_Mailto.h"

#include "crashreport/delivery/qixExceptSend_Mime.h"

namespace qix {

std::string PercentEncodeMailto(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (unsigned char c : text) {
        switch (c < 0x20 || c == 0x7f ? '\n' : c) {
        case '\n': // and every other control byte, which URL readers drop
        case '\r':
        case ' ':
        case '"':
        case '#':
        case '%':
        case '+':
        case '<':
        case '>':
        case '?':
        case '&': // would start a further header field of the URL
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
            break;
        default:
            out += char(c);
        }
    }
    return out;
}

std::string BuildMailtoUrl(std::string_view recipients, std::string_view subject,
                           std::string_view body) {
    std::string to;
    for (const std::string& r : SplitRecipients(recipients))
        to += (to.empty() ? "" : ",") + PercentEncodeMailto(r);
    return "mailto:" + to + "?subject=" + PercentEncodeMailto(subject) +
           "&body=" + PercentEncodeMailto(body);
}

std::string BuildMailtoCommand(std::string_view command, std::string_view url, size_t limit) {
    std::string line;
    const size_t slot = command.find("%1");
    if (slot != std::string_view::npos) {
        line = std::string(command.substr(0, slot)) + std::string(url) +
               std::string(command.substr(slot + 2));
    } else {
        line = std::string(command);
        if (!line.empty() && line.back() != ' ') line += ' ';
        line += url;
    }
    if (line.size() > limit) {
        size_t cut = limit;
        if (cut >= 1 && line[cut - 1] == '%')
            cut -= 1;
        else if (cut >= 2 && line[cut - 2] == '%')
            cut -= 2;
        line.resize(cut);
    }
    return line;
}

} // namespace qix
