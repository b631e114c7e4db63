// The stack tracer's module and function caches. Both only grow; one lock guards them, since
// the handling thread may parse a function while the report thread traces.
#include "crashreport/analysis/qixStackTraceInternal.h"

#include <algorithm>

namespace qix::trace {

bool TFunction::Contains(TAddress a) const {
    for (const TCodeArea& area : Info.CodeAreas)
        if (!area.IsCaseTable && !area.IsExceptTable && area.AreaStart < a && a <= area.AreaEnd + 1)
            return true;
    return false;
}

namespace {

constexpr size_t kJumpLimit = 256;

TRuntimeRoutines RoutinesOf(const TMapFile* map) {
    if (!map) return {};
    return RuntimeRoutinesByName([map](const std::string& name) -> TAddress {
        for (const TMapPublic& p : map->Publics())
            if (p.IsCode && p.Name == name) return p.Address;
        return 0;
    });
}

} // namespace

int32_t TTraceCaches::ModuleOf(TAddress address) {
    std::lock_guard guard(FLock);
    auto it = FModuleStarts.upper_bound(address);
    if (it != FModuleStarts.begin()) {
        --it;
        const TModule& m = FModules[size_t(it->second)];
        if (address >= m.Image.ImageStart && address < m.Image.ImageEnd) return it->second;
    }
    TModule module;
    if (!FProcess.Memory().FindImage(address, module.Image)) return -1;
    module.Map = FProcess.DebugInfo(module.Image);
    if (module.Map && !module.Map->Valid()) module.Map.reset();
    module.Routines = RoutinesOf(module.Map.get());
    const int32_t index = int32_t(FModules.size());
    FModuleStarts[module.Image.ImageStart] = index;
    FModules.push_back(std::move(module));
    return index;
}

const TModule& TTraceCaches::Module(int32_t index) const {
    std::lock_guard guard(FLock);
    return FModules[size_t(index)];
}

TFunction& TTraceCaches::Function(int32_t index) const {
    std::lock_guard guard(FLock);
    return *FFunctions[size_t(index)];
}

int32_t TTraceCaches::FindFunction(TAddress entry) const {
    std::lock_guard guard(FLock);
    const auto it = FByEntry.find(entry);
    return it == FByEntry.end() ? -1 : it->second;
}

TDisAsmContext TTraceCaches::Context(int32_t module, const TReadableRanges* snapshot) const {
    TDisAsmContext context;
    context.Memory = &FProcess.Memory();
    context.Snapshot = snapshot;
    if (module < 0) return context;
    const TModule& m = Module(module);
    context.Routines = m.Routines;
    if (std::shared_ptr<const TMapFile> map = m.Map)
        context.Hooks.ProcedureName = [map](TAddress a) -> std::string {
            const TMapPublic* p = map->PublicAt(a);
            return p && p->Address == a ? p->Name : std::string();
        };
    return context;
}

int32_t TTraceCaches::Store(std::unique_ptr<TFunction> function) {
    const int32_t index = int32_t(FFunctions.size());
    FByEntry[function->Info.EntryPoint] = index;
    FFunctions.push_back(std::move(function));
    return index;
}

int32_t TTraceCaches::AddPlaceholder(TAddress entry) {
    std::lock_guard guard(FLock);
    if (const int32_t known = FindFunction(entry); known >= 0) return known;
    auto f = std::make_unique<TFunction>();
    f->Module = ModuleOf(entry);
    f->Placeholder = true;
    f->Info.IsValid = true;
    f->Info.EntryPoint = f->Info.CodeBegin = entry;
    return Store(std::move(f));
}

int32_t TTraceCaches::AddFunction(TAddress entry, const std::string& name, bool approve,
                                  const TReadableRanges* snapshot) {
    std::lock_guard guard(FLock);
    if (const int32_t known = FindFunction(entry); known >= 0) {
        if (approve) Approve(known);
        return known;
    }
    const int32_t index = AddOne(entry, name, snapshot);
    std::vector<TAddress> jumps;
    for (const TFarCall& call : Function(index).Info.FarCalls)
        if (!call.IsCall && call.Target) jumps.push_back(call.Target);
    if (approve) Approve(index);
    // Tail jumps lead to functions of their own; a worklist, as chains of them can be long,
    // and a bound, as they can lead through a whole module.
    for (size_t followed = 0; !jumps.empty() && followed < kJumpLimit; ++followed) {
        const TAddress target = jumps.back();
        jumps.pop_back();
        if (const int32_t known = FindFunction(target); known >= 0) {
            if (approve) Approve(known);
            continue;
        }
        const int32_t added = AddOne(target, {}, snapshot);
        if (approve) Approve(added);
        for (const TFarCall& call : Function(added).Info.FarCalls)
            if (!call.IsCall && call.Target) jumps.push_back(call.Target);
    }
    return index;
}

int32_t TTraceCaches::AddOne(TAddress entry, const std::string& name,
                             const TReadableRanges* snapshot) {
    auto f = std::make_unique<TFunction>();
    f->Module = ModuleOf(entry);
    ParseFunction(Context(f->Module, snapshot), entry, f->Info);
    f->Info.EntryPoint = entry;
    f->Name = name;
    if (f->Name.empty() && f->Module >= 0) {
        const TModule& m = Module(f->Module);
        if (m.Map)
            if (const TMapPublic* p = m.Map->PublicAt(entry); p && p->Address == entry)
                f->Name = p->Name;
        if (f->Name.empty()) f->Name = FProcess.Memory().ExportName(entry);
        if (f->Name.empty()) {
            std::string exported;
            if (FProcess.ExportBelow(m.Image, entry, exported) == entry) f->Name = exported;
        }
    }
    // Window procedures of the older consumer family are reached through DispatchMessageA.
    if (FProcess.OldConsumerWindows())
        if (const TAddress dispatch = FProcess.DispatchMessageAddress())
            for (const TFarCall& call : f->Info.FarCalls)
                if (call.IsCall && call.Target == dispatch)
                    f->Info.UnknownTargets.push_back({true, call.Start, call.Next});
    for (const TFarCall& call : f->Info.FarCalls)
        f->HasFarJump |= !call.IsCall && call.Target;
    const TAddress longest = TAddress(std::max<int32_t>(f->Info.CodeLength, 0));
    FLongest = std::max(FLongest, longest);
    return Store(std::move(f));
}

void TTraceCaches::Approve(int32_t index) {
    std::lock_guard guard(FLock);
    std::vector<int32_t> work{index};
    while (!work.empty()) {
        const int32_t i = work.back();
        work.pop_back();
        TFunction& f = *FFunctions[size_t(i)];
        if (f.Approved.exchange(true)) continue;
        FApprovedOrder.push_back(i);
        FApprovedSorted = false;
        for (const TFarCall& call : f.Info.FarCalls)
            if (call.IsCall)
                if (const auto it = FByEntry.find(call.Target); it != FByEntry.end())
                    work.push_back(it->second);
    }
}

std::vector<int32_t> TTraceCaches::ApprovedContaining(TAddress address) const {
    std::lock_guard guard(FLock);
    auto begin = [this](int32_t i) { return FFunctions[size_t(i)]->Info.CodeBegin; };
    if (!FApprovedSorted) {
        std::sort(FApprovedOrder.begin(), FApprovedOrder.end(),
                  [&](int32_t a, int32_t b) { return begin(a) < begin(b); });
        FApprovedSorted = true;
    }
    std::vector<int32_t> found;
    auto it = std::upper_bound(FApprovedOrder.begin(), FApprovedOrder.end(), address,
                               [&](TAddress a, int32_t i) { return a < begin(i); });
    while (it != FApprovedOrder.begin()) {
        --it;
        const TFunction& f = *FFunctions[size_t(*it)];
        if (uint64_t(f.Info.CodeBegin) + FLongest + 1 < address) break;
        if (!f.Placeholder && f.Contains(address)) found.push_back(*it);
    }
    return found;
}

} // namespace qix::trace
