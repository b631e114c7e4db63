// The last fall-back: a mailto URL handed to the registered mail program.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qix {

// The longest command line the NT family accepts.
inline constexpr size_t kMaxNtCommandLine = 32766;

// Line breaks, blanks and the characters that would end or split the URL (or the
// quoted command-line argument it sits in) become "%XX".
std::string PercentEncodeMailto(std::string_view text);

// "mailto:" + recipients ("," separated) + "?subject=" + ... + "&body=" + ...
std::string BuildMailtoUrl(std::string_view recipients, std::string_view subject,
                           std::string_view body);

// Puts the URL into the registered command: in place of "%1", else appended after a
// blank. With a limit the line is cut there, never inside a "%XX" escape.
std::string BuildMailtoCommand(std::string_view command, std::string_view url,
                               size_t limit = kMaxNtCommandLine);

} // namespace qix
