// Shared between the stack tracer's units: the module and function caches and one trace's state.
#pragma once

#include "crashreport/analysis/qixStackTrace.h"

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

namespace qix::trace {

struct TModule {
    TImageInfo Image;
    std::shared_ptr<const TMapFile> Map; // null without debug information
    TRuntimeRoutines Routines;
    bool InCode(TAddress a) const { return Image.CodeBegin < a && a <= Image.CodeEnd; }
    bool InData(TAddress a) const { return Image.DataBegin < a && a <= Image.DataEnd; }
};

struct TFunction {
    int32_t Module = -1;
    std::string Name;
    TFunctionInfo Info;
    std::atomic<bool> Approved{false};
    std::atomic<bool> Excluded{false};
    bool Placeholder = false;
    bool HasFarJump = false;
    // Whether the function's code areas hold the address (start < a <= end + 1).
    bool Contains(TAddress a) const;
};

// Process-wide caches: modules by load address and functions by entry point. Entries are never
// removed, so indexes and references stay valid while others are added.
class TTraceCaches {
public:
    explicit TTraceCaches(const ITraceProcess& process) : FProcess(process) {}

    int32_t ModuleOf(TAddress address);
    const TModule& Module(int32_t index) const;

    // Adds (parsing it) or finds the function at the entry point; approve approves it and,
    // recursively, the known functions it calls.
    int32_t AddFunction(TAddress entry, const std::string& name, bool approve,
                        const TReadableRanges* snapshot);
    int32_t AddPlaceholder(TAddress entry);
    int32_t FindFunction(TAddress entry) const;
    TFunction& Function(int32_t index) const;
    // Approved functions whose code areas hold the address.
    std::vector<int32_t> ApprovedContaining(TAddress address) const;
    void Approve(int32_t index);

    TDisAsmContext Context(int32_t module, const TReadableRanges* snapshot) const;
    const ITraceProcess& Process() const { return FProcess; }

private:
    int32_t Store(std::unique_ptr<TFunction> function);
    // Parses and stores one function that is not known yet.
    int32_t AddOne(TAddress entry, const std::string& name, const TReadableRanges* snapshot);

    const ITraceProcess& FProcess;
    mutable std::recursive_mutex FLock;
    std::deque<TModule> FModules; // grows by appending; references stay valid
    std::map<TAddress, int32_t> FModuleStarts;
    std::deque<std::unique_ptr<TFunction>> FFunctions;
    std::unordered_map<TAddress, int32_t> FByEntry;
    mutable std::vector<int32_t> FApprovedOrder; // sorted by code begin on demand
    mutable bool FApprovedSorted = true;
    TAddress FLongest = 0;
};

struct TLink {
    int32_t Function = -1; // down: the function holding the call site; up: the callee
    int32_t Target = -1;   // the linked item, -1 for none
    TAddress CallSite = 0;
    TAddress Callee = 0; // down links: the call's target when known
    bool TargetKnown = false;
};

struct TItem {
    TAddress Value = 0;   // what the slot held
    TAddress Address = 0; // the return address (end of the instruction for forced items)
    TAddress Lookup = 0;  // where lookups happen: inside the call instruction
    bool Certain = false;
    bool Forced = false;
    bool Invalid = false;
    bool Creation = false;
    bool Top = false;
    int32_t Module = -1;
    std::vector<TLink> Down, Up;
    // Output.
    bool Hidden = false;
    TAddress OutAddress = 0;
    TAddress ProcStart = 0;
    std::string ModuleName, UnitName, ProcName;
    int32_t Line = 0, RelLine = 0;
    bool HasRelLine = false;
};

// The call site a function returns to, and its callee.
struct TCallSite {
    TAddress Site = 0;
    TAddress Callee = 0;
    bool CalleeKnown = false;
};

// One trace: the candidates of one stack and the phases that thin them out.
class TTraceRun {
public:
    TTraceRun(TTraceCaches& caches, const TStackTraceRequest& request,
              std::vector<std::string>* minDebugInfo)
        : FCaches(caches), FRequest(request), FMinDebugInfo(minDebugInfo) {}
    TStackTraceResult Run();

    // Phases, in order.
    void CollectPossibleStackItems();
    void RemoveRecursiveStackAreas();
    void InDeepChecks();
    void RealizeOptimalLinkChains();
    void RemoveRecursiveAreas() { RemoveRecursiveStackAreas(); }
    void FillFinalOutput();
    void ComposeResult();

    // The place a phase was working on when it failed (0: unknown).
    TAddress FFaultAddress = 0;

private:
    const IMemoryReader& Memory() const { return FCaches.Process().Memory(); }
    bool Aborted() const { return FRequest.Abort && FRequest.Abort->load(); }
    void Progress(int32_t perMille);
    bool Read32(TAddress address, uint32_t& value) const;
    bool FollowsCall(TAddress address) const;
    // Cached functions and modules never move: a run keeps their places, so its hot loops
    // take no cache lock.
    TFunction& Fn(int32_t index) const {
        return Kept(FFunctionRefs, index, &TTraceCaches::Function);
    }
    const TModule& Mod(int32_t index) const {
        return Kept(FModuleRefs, index, &TTraceCaches::Module);
    }
    template <typename T, typename Get>
    T& Kept(std::vector<T*>& refs, int32_t index, Get get) const {
        if (size_t(index) >= refs.size()) refs.resize(size_t(index) + 1);
        T*& p = refs[size_t(index)];
        if (!p) p = &(FCaches.*get)(index);
        return *p;
    }
    // 0: not stored, 1: stored, 2: stored as a certain item that is not forced.
    int32_t Offer(TAddress value, bool forced, bool flagged, bool frameSlot, bool fromSlot);
    std::string NameAt(TAddress address) const;
    bool FindCallSite(int32_t function, const TItem& item, TCallSite& site,
                      TAddress* movedAddress) const;
    void Accept(TItem& item, bool& accepted);
    void CompleteLink(int32_t r, TAddress callSite, TAddress callee, bool known, bool approve,
                      bool again = true);
    int32_t NextCertain(int32_t r) const;
    uint64_t Score(int32_t item, int32_t towards, bool down, bool allFunctions);
    bool LineKnown(const TItem& item) const;
    void Realize(int32_t older, int32_t newer);
    bool DropRepeatedRun();
    void Checksums(const std::vector<int32_t>& printed);

    TTraceCaches& FCaches;
    const TStackTraceRequest& FRequest;
    std::vector<std::string>* FMinDebugInfo;
    TReadableRanges FSnapshot;
    std::vector<uint8_t> FStack; // from the stack bottom to the top
    std::vector<int32_t> FNextCertain;
    std::set<int32_t> FExcluded;
    std::vector<TItem> FItems;
    std::set<TAddress> FFrameSlots;
    bool FForcedAdded = false;
    TStackTraceResult FResult;
    // Return address -> the items that hold it, for linking callees.
    std::unordered_map<TAddress, std::vector<int32_t>> FByAddress;
    // Scoring memo of one realised pair: per item and all-functions flag.
    struct TMemo {
        uint32_t Stamp[2] = {0, 0};
        uint64_t Score[2] = {0, 0};
        int32_t Best[2] = {-1, -1};
    };
    std::vector<TMemo> FMemo;
    uint32_t FStamp = 0;
    mutable std::vector<TFunction*> FFunctionRefs;
    mutable std::vector<const TModule*> FModuleRefs;
    std::vector<int32_t> FCandidates; // CompleteLink's scratch list
};

std::string Hex8(TAddress value);
std::string DescribeAddress(TTraceCaches& caches, TAddress address, bool showRelAddr,
                            bool showRelLine);

} // namespace qix::trace
