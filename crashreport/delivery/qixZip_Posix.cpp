// File facts for archive entries where the Windows calls are not available.
#include "crashreport/delivery/qixZip.h"

#include <sys/stat.h>
#include <ctime>

namespace qix {

bool QueryZipSourceInfo(const std::string& path, TZipSourceInfo& info) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    // The Windows view of a plain file: archive bit, read-only when nobody may write.
    info.Attributes = 0x20;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) info.Attributes |= 0x01;
    std::tm local{};
    if (localtime_r(&st.st_mtime, &local) == nullptr) return false;
    ToDosDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, info.DosDate, info.DosTime);
    return true;
}

} // namespace qix
