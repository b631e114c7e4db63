// The portable part of the exception object: the class filters.
#include "crashreport/core/qixExcept_Exception.h"

#include <mutex>

namespace qix {

namespace {

bool ListHas(std::string_view list, std::string_view name) {
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string_view::npos) end = list.size();
        if (SameText(TrimControl(list.substr(start, end - start)), name)) return true;
        start = end + 1;
    }
    return false;
}

bool ChainMatches(const std::vector<std::string>& chain, std::string_view list) {
    if (TrimControl(list).empty()) return false;
    for (const std::string& name : chain)
        if (ListHas(list, name)) return true;
    return false;
}

std::mutex& TracerLock() {
    static std::mutex& lock = *new std::mutex;
    return lock;
}
std::shared_ptr<IThreadTracer>& TracerSlot() {
    static auto& slot = *new std::shared_ptr<IThreadTracer>;
    return slot;
}

} // namespace

void SetThreadTracer(std::shared_ptr<IThreadTracer> tracer) {
    std::lock_guard guard(TracerLock());
    TracerSlot() = std::move(tracer);
}

std::shared_ptr<IThreadTracer> ThreadTracer() {
    std::lock_guard guard(TracerLock());
    return TracerSlot();
}

int SelectClassFilter(const std::vector<std::string>& classChain, std::string_view f1Classes,
                      std::string_view f2Classes) {
    if (ChainMatches(classChain, f1Classes)) return 1;
    if (ChainMatches(classChain, f2Classes)) return 2;
    return 0;
}

} // namespace qix
