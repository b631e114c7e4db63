// The exception box's Windows-free half: message line breaks, button and countdown
// arithmetic, and the parsers that turn bug report text into list-view rows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qix {

struct TBoxColumn {
    std::string caption;
    int32_t alignment = 0; // 0 left, 1 right, 2 centre (list-view column formats)
    bool uppercase = false;
};

struct TBoxItem {
    std::string text;        // cells separated by TAB
    uint32_t background = 0; // 0: alternating colours, 0xFFFFFF: plain white
    bool groupTitle = false;
};

struct TBoxTable {
    std::vector<TBoxColumn> columns;
    std::vector<TBoxItem> items;
    bool headerVisible = true;
    // No columns or no rows: the text is shown in an edit instead.
    bool Usable() const { return !columns.empty() && !items.empty(); }
};

enum class TContentFont { Normal, Fixed };

// The message with a line break after every ". " lying from position 20 to length - 10.
std::string BreakMessageLines(std::string_view message);

// "^" uppercase, then a leading blank right-aligned; specs separated by "|".
std::vector<TBoxColumn> ParseColumnSpec(std::string_view layout);

std::vector<std::string> SplitReportLines(std::string_view text);
// Aligned separator offsets (0-based) over the non-heading lines; blanks them in `lines`.
std::vector<size_t> AlignedBoundaries(std::vector<std::string>& lines, bool strict);

TBoxTable ParseHeaderTab(std::string_view text);
TBoxTable ParseAlignedColumns(std::string_view text, std::string_view columnSpec);
TBoxTable ParseFixedColumns(std::string_view text, std::vector<size_t> breaks,
                            std::string_view columnSpec);
TBoxTable ParseGenericText(std::string_view text);
TBoxTable ParseDisassembly(std::string_view text);
TBoxTable ParseThreadList(std::string_view text);

// Picks the parser of a tab (index, section name, content) and the font it is shown in.
TBoxTable ParseTabContent(int tabIndex, std::string_view sectionName, std::string_view content,
                          TContentFont& font);

// Tab captions wanted for a report whose section names are given in order.
std::vector<std::string> WantedTabCaptions(const std::vector<std::string>& sectionNames);
// Number of leading thread sections (names containing "$") from index 1 on, at least 1.
int ThreadSectionCount(const std::vector<std::string>& sectionNames);

// Countdown bar position for `elapsedMs` of `delaySeconds` (> 0) on a button `width` wide.
int32_t CountdownX(uint32_t elapsedMs, int32_t width, int32_t delaySeconds, bool classic);
// The x at which the countdown presses the button.
int32_t CountdownEnd(int32_t width, bool classic);

// Caption width in pixels to button width (0 when hidden).
int32_t ButtonWidth(int32_t textWidth, bool visible, bool messageBoxMode);

// What the page that stands in for the box in a web-server process says.
struct THtmlTexts {
    std::string title;           // TitleBar
    std::string message;         // ExceptMsg, expanded; "%LF%" breaks the line
    std::string continueCaption; // ContinueBtnTxt, or the plain words when that is hidden
    std::string showCaption;     // ShowBtnTxt
    bool showButton = false;     // ShowBtnVis and not AutoShowBugRep
    bool reportVisible = false;  // AutoShowBugRep
};
std::string RenderReportHtml(std::string_view report, const THtmlTexts& texts);

} // namespace qix
