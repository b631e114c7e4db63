// Saves one bug report into FILE with the box's file rules (or the pipeline's plain
// writer) and prints whether it worked; fulldisk.py runs it on a tiny file system where
// the report cannot fit.
//   qixBugFileFullDisk FILE REPORT_BYTES APPEND(0|1) [box|pipeline]
#include "crashreport/core/qixExcept_Pipeline.h"
#include "crashreport/ui/qixExceptBox.h"

#include "qixNVAssistantTestException.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    qix::test::TAssistantException exception;
    exception.props["AppendBugReps"] = std::atoi(argv[3]) != 0;
    exception.props["BugRepFileSize"] = int32_t{0};
    // A report of the asked size: a header line the folding rules read, then filler.
    std::string report = "date/time        : 2026-12-08 10:00\r\nexception class  : Full\r\n";
    while (report.size() < std::strtoul(argv[2], nullptr, 10))
        report += "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\r\n";
    const bool viaPipeline = argc > 4 && std::string(argv[4]) == "pipeline";
    exception.SectionFields()->SetContents("filler", report);
    const bool stored = viaPipeline ? qix::StoreBugReport(exception, argv[1])
                                    : qix::StoreBugReportFile(argv[1], report, 0, exception, true);
    std::printf("stored: %d\n", stored ? 1 : 0);
    return 0;
}
