// The bug report file's content rules: duplicate folding and the size limit. The file
// itself is read and written by the box's save action; this half never touches a disk.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qix {

struct TBugFileRules {
    bool append = true;
    bool noDupExcepts = true, noDupFreezes = true;
    int32_t dupExceptDef = 1, dupFreezeDef = 2;
    int32_t sizeLimit = 0; // 0: none
};

// The value of a header line ("name   : value") of the report that starts at `text`;
// nullopt when the header has no such line.
std::optional<std::string> ReportHeaderValue(std::string_view text, std::string_view name);

// The whole new file content for `existing` plus `report`.
std::string ComposeBugReportFile(std::string_view existing, std::string_view report,
                                 const TBugFileRules& rules);

} // namespace qix
