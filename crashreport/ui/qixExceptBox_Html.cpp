// The page a web-server process returns instead of showing the box: the message, a
// button back to the application and the report in a text area.
#include "crashreport/ui/qixExceptBox_Text.h"

namespace qix {
namespace {

std::string Escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// "%LF%" may reach here expanded already (as CR LF) or not.
std::string MessageHtml(std::string_view message) {
    std::string out = Escaped(message);
    for (size_t at = out.find("%LF%"); at != std::string::npos; at = out.find("%LF%", at))
        out.replace(at, 4, "\n");
    for (size_t at = out.find("\r\n"); at != std::string::npos; at = out.find("\r\n", at))
        out.erase(at, 1);
    for (size_t at = out.find('\n'); at != std::string::npos; at = out.find('\n', at + 6))
        out.replace(at, 1, "<br>\r\n");
    return out;
}

} // namespace

std::string RenderReportHtml(std::string_view report, const THtmlTexts& texts) {
    std::string page = "<html>\r\n<head><title>" + Escaped(texts.title) + "</title></head>\r\n";
    page += "<body>\r\n<table width=\"100%\" height=\"100%\" border=\"0\" cellspacing=\"0\" "
            "cellpadding=\"0\">\r\n";
    page += "<tr><td style=\"font-size:2pt\">&nbsp;</td></tr>\r\n";
    page += "<tr><td><p style=\"font-family:Tahoma,'MS Sans Serif';font-size:13pt;"
            "margin-left:4px;\">" +
            MessageHtml(texts.message) + "</p></td></tr>\r\n";
    page += "<tr><td style=\"font-size:8pt\">&nbsp;</td></tr>\r\n";
    page += "<tr><td><table border=\"0\" cellspacing=\"0\" cellpadding=\"0\"><tr>\r\n";
    page += "<td><input type=\"button\" value=\"" + Escaped(texts.continueCaption) +
            "\" onclick=\"history.back()\"></td>\r\n";
    page += "<td width=\"8\">&nbsp;</td>\r\n";
    if (texts.showButton)
        page += "<td><input type=\"button\" value=\"" + Escaped(texts.showCaption) +
                "\" onclick=\"document.getElementById('bugReport').style.display='block';"
                "this.style.display='none';\"></td>\r\n";
    page += "</tr></table></td></tr>\r\n";
    page += "<tr><td style=\"font-size:8pt\">&nbsp;</td></tr>\r\n";
    page += "<tr><td height=\"100%\"><textarea id=\"bugReport\" cols=\"80\" rows=\"20\" "
            "readonly style=\"width:100%;height:100%;";
    if (!texts.reportVisible) page += "display:none;";
    page += "\">" + Escaped(report) + "</textarea></td></tr>\r\n";
    page += "</table>\r\n</body>\r\n</html>\r\n";
    return page;
}

} // namespace qix
