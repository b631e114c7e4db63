// The stack tracer's candidate phases: collecting, recursion removal, deep checks and the
// scoring of link chains between anchors.
#include "crashreport/analysis/qixStackTraceInternal.h"
#include "crashreport/ui/qixProgressAlert.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <utility>

namespace qix::trace {

namespace {

constexpr uint64_t kHigh(uint64_t word) {
    return word << 32;
}
constexpr uint64_t kReaches = kHigh(0x40000000);
constexpr uint64_t kAllFunctions = kHigh(0x20000000);
constexpr uint64_t kNoChain = kHigh(0x10000000);
// Removing recursion compares runs up to this many items long.
constexpr size_t kRecursionWindow = 256;
// A call links at most this many newer items: the nearest frames of its callee. Without a
// bound, a long stack without anchors full of stale return addresses links quadratically.
constexpr size_t kFanOut = 16;

bool ContainsNoCase(const std::string& text, const char* part) {
    const size_t n = std::strlen(part);
    if (text.size() < n) return false;
    for (size_t i = 0; i + n <= text.size(); ++i) {
        size_t k = 0;
        while (k < n && std::tolower(static_cast<unsigned char>(text[i + k])) ==
                            std::tolower(static_cast<unsigned char>(part[k])))
            ++k;
        if (k == n) return true;
    }
    return false;
}

// Callees after which a forced address is the call itself: the raising routines of our
// runtime (RaiseException, the unwinder's raise, the C++ throw) and error reporters.
bool IsRaisingName(const std::string& name) {
    return ContainsNoCase(name, "RaiseExcept") || ContainsNoCase(name, "Error") ||
           name.find("__cxa_throw") != std::string::npos ||
           name.find("__cxa_rethrow") != std::string::npos;
}

} // namespace

void TTraceRun::Progress(int32_t perMille) {
    if (FRequest.Progress) FRequest.Progress->SetProgress(perMille);
}

bool TTraceRun::Read32(TAddress address, uint32_t& value) const {
    return TryReadMemory(Memory(), address, &value, 4, &FSnapshot);
}

bool TTraceRun::FollowsCall(TAddress address) const {
    return qix::FollowsCall(Memory(), address, &FSnapshot);
}

bool TTraceRun::FindCallSite(int32_t function, const TItem& item, TCallSite& site,
                             TAddress* movedAddress) const {
    if (function < 0 || FExcluded.count(function)) return false;
    const TFunction& f = Fn(function);
    const TAddress a = item.Address;
    if (!item.Forced) {
        for (const TUnknownTarget& u : f.Info.UnknownTargets)
            if (u.IsCall && u.Next == a) {
                site = {u.Start, 0, false};
                return true;
            }
        for (const TFarCall& c : f.Info.FarCalls)
            if (c.IsCall && c.Next == a) {
                site = {c.Start, c.Target, c.Target != 0};
                return true;
            }
        return false;
    }
    if (f.Placeholder) {
        if (item.Value != f.Info.EntryPoint) return false;
        site = {f.Info.EntryPoint, 0, false};
        return true;
    }
    for (const TFarCall& c : f.Info.FarCalls)
        if (c.IsCall && c.Start == item.Value && IsRaisingName(NameAt(c.Target))) {
            site = {c.Start, c.Target, true};
            if (movedAddress) *movedAddress = c.Next;
            return true;
        }
    const TDisAsmContext context = FCaches.Context(f.Module, &FSnapshot);
    for (const TCodeArea& area : f.Info.CodeAreas) {
        if (area.IsCaseTable || area.IsExceptTable || a <= area.AreaStart || a > area.AreaEnd + 1)
            continue;
        for (TAddress at = area.AreaStart; at < a;) {
            TInstructionInfo info;
            DecodeInstruction(context, at, info);
            if (!info.IsValid || info.Next <= at) break;
            if (info.Next == a) {
                site = {at, info.Target, info.Target != 0};
                return true;
            }
            at = info.Next;
        }
    }
    return false;
}

std::string TTraceRun::NameAt(TAddress address) const {
    if (const int32_t f = FCaches.FindFunction(address); f >= 0) return Fn(f).Name;
    const int32_t m = FCaches.ModuleOf(address);
    if (m >= 0)
        if (const auto& map = Mod(m).Map)
            if (const TMapPublic* p = map->PublicAt(address); p && p->Address == address)
                return p->Name;
    return Memory().ExportName(address);
}

void TTraceRun::Accept(TItem& item, bool& accepted) {
    accepted = false;
    const TModule* module = item.Module >= 0 ? &Mod(item.Module) : nullptr;
    auto link = [&](int32_t function, const TCallSite& site) {
        item.Down.push_back({function, -1, site.Site, site.Callee, site.CalleeKnown});
        accepted = true;
    };
    if (module && module->Map) {
        const TMapPublic* pub = module->InCode(item.Lookup) || item.Forced
                                    ? module->Map->PublicAt(item.Lookup)
                                    : nullptr;
        if (!pub || !pub->IsCode) return;
        const int32_t f = FCaches.AddFunction(pub->Address, pub->Name, true, &FSnapshot);
        TCallSite site;
        TAddress moved = 0;
        if (FindCallSite(f, item, site, &moved)) {
            if (moved) item.Address = moved;
            return link(f, site);
        }
        // Code that the compiler moved out of line (cold parts) is reached through a jump
        // and still belongs to the public: try it as a function of its own.
        const TFunction& whole = Fn(f);
        const TAddress end = whole.Info.CodeBegin + TAddress(std::max(whole.Info.CodeLength, 0));
        std::vector<TAddress> labels;
        for (const TFarCall& c : whole.Info.FarCalls)
            if (c.Target >= end && module->Map->PublicAt(c.Target) == pub)
                labels.push_back(c.Target);
        for (TAddress target : labels) {
            const int32_t part =
                FCaches.AddFunction(target, pub->Name + ".@label", true, &FSnapshot);
            moved = 0;
            if (FindCallSite(part, item, site, &moved)) {
                if (moved) item.Address = moved;
                return link(part, site);
            }
        }
        return;
    }
    if (module && !module->Image.IsMainModule) {
        std::string name;
        TAddress start = FCaches.Process().ExportBelow(module->Image, item.Lookup, name);
        const TAddress entry = FCaches.Process().EntryPoint(module->Image);
        if (entry && entry <= item.Lookup && entry > start) {
            start = entry;
            name.clear();
        }
        if (start) {
            const int32_t f = FCaches.AddFunction(start, name, true, &FSnapshot);
            if (Fn(f).Contains(item.Address)) {
                TCallSite site;
                TAddress moved = 0;
                if (!FindCallSite(f, item, site, &moved)) return;
                if (moved) item.Address = moved;
                return link(f, site);
            }
        }
    }
    accepted = true;
}

int32_t TTraceRun::Offer(TAddress value, bool forced, bool flagged, bool frameSlot, bool fromSlot) {
    if (fromSlot && FRequest.IsException && value == FRequest.CurrentAddress) forced = true;
    TItem item;
    item.Value = value;
    item.Forced = forced;
    item.Address = value;
    item.Lookup = forced ? value : value - 1;
    FFaultAddress = value;
    if (forced) {
        TInstructionInfo info;
        DecodeInstruction(FCaches.Context(-1, &FSnapshot), value, info);
        if (info.IsValid) item.Address = info.Next;
    }
    uint8_t probe = 0;
    bool qualifies = value > 7 && TryReadMemory(Memory(), item.Lookup, &probe, 1, &FSnapshot) &&
                     Memory().IsCommitted(item.Lookup) && (forced || FollowsCall(value));
    if (qualifies || forced || flagged || frameSlot) {
        item.Module = FCaches.ModuleOf(item.Lookup);
        if (item.Module >= 0 && qualifies) {
            const TModule& m = Mod(item.Module);
            qualifies = m.InCode(value) || m.InData(value) || (forced && m.InCode(value + 1));
        }
    }
    bool accepted = false;
    if (qualifies) Accept(item, accepted);
    if (!(forced || accepted || flagged || frameSlot)) return 0;
    item.Certain = forced || flagged || frameSlot;
    if (forced && item.Down.empty()) {
        // No function confirms it: the address itself is the call site, and an address that
        // cannot be read gets a placeholder function so that it still prints.
        int32_t f = -1;
        if (!TryReadMemory(Memory(), value, &probe, 1, &FSnapshot))
            f = FCaches.AddPlaceholder(value);
        item.Down.push_back({f, -1, value, 0, false});
    }
    const int32_t index = int32_t(FItems.size());
    FByAddress[item.Address].push_back(index);
    FItems.push_back(std::move(item));
    if (forced) FForcedAdded = true;
    return FItems.back().Certain && !forced ? 2 : 1;
}

void TTraceRun::CollectPossibleStackItems() {
    const TStackTraceRequest& r = FRequest;
    if (r.CreationAddress) {
        TItem item;
        item.Value = item.Address = item.Lookup = r.CreationAddress;
        item.Certain = item.Creation = true;
        item.Module = FCaches.ModuleOf(r.CreationAddress);
        FByAddress[item.Address].push_back(0);
        FItems.push_back(std::move(item));
    }
    auto slot = [&](TAddress at) {
        uint32_t v = 0;
        std::memcpy(&v, FStack.data() + (at - r.StackBottom), 4);
        return TAddress(v);
    };
    if (!r.Prepared) {
        TAddress frame = r.FramePointer;
        const size_t limit = FStack.size() / 8 + 1;
        for (size_t n = 0; n < limit; ++n) {
            if (frame < r.StackBottom || uint64_t(frame) + 8 > r.StackTop) break;
            if (frame + 4 > r.StackBottom) FFrameSlots.insert(frame + 4);
            const TAddress next = slot(frame);
            if (!(next > frame && next < r.StackTop)) break;
            frame = next;
        }
        for (uint64_t at = uint64_t(r.StackTop) - 4; at >= r.StackBottom && !FForcedAdded;
             at -= 4) {
            if ((at & 0xFFF) == 0 && Aborted()) return;
            const TAddress a = TAddress(at);
            if (Offer(slot(a), false, false, FFrameSlots.count(a) != 0, true) == 2) at -= 4;
            if (at < 4) break;
        }
    } else {
        for (const TPreparedEntry& e : *r.Prepared) {
            Offer(e.Address, false, e.Flag != 0, false, false);
            if (FForcedAdded) break;
        }
    }
    if (!FForcedAdded && !r.DoNotAddTopItem && r.CurrentAddress) {
        if (Offer(r.CurrentAddress, true, false, false, false)) FItems.back().Top = true;
    }
}

bool TTraceRun::DropRepeatedRun() {
    std::vector<int32_t> v;
    std::vector<TAddress> addresses;
    for (int32_t i = 0; i < int32_t(FItems.size()); ++i)
        if (!FItems[size_t(i)].Invalid) {
            v.push_back(i);
            addresses.push_back(FItems[size_t(i)].Address);
        }
    auto addr = [&](size_t k) { return addresses[k]; };
    // Only the nearest lower copy of an address can start a repeated run.
    constexpr size_t kNone = SIZE_MAX;
    std::vector<size_t> previous(addresses.size(), kNone);
    {
        std::unordered_map<TAddress, size_t> last;
        last.reserve(addresses.size());
        for (size_t k = 0; k < addresses.size(); ++k) {
            auto [it, fresh] = last.try_emplace(addresses[k], k);
            if (!fresh) previous[k] = std::exchange(it->second, k);
        }
    }
    bool changed = false;
    for (size_t p = v.size(); p-- > 1;) {
        const size_t q = previous[p];
        if (q == kNone || p - q > kRecursionWindow) continue;
        const size_t length = p - q;
        if (length > q + 1) continue;
        bool same = true;
        for (size_t k = 0; k < length && same; ++k)
            same = addr(q - k) == addr(p - k);
        for (size_t k = q + 1; k <= p && same; ++k)
            same = !FItems[size_t(v[k])].Forced && !FItems[size_t(v[k])].Creation;
        if (!same) continue;
        for (size_t k = q + 1; k <= p; ++k) {
            TItem& item = FItems[size_t(v[k])];
            item.Invalid = true;
            item.Certain = false;
            item.Up.clear();
        }
        changed = true;
        p = q + 1; // continue below the dropped copy
    }
    return changed;
}

void TTraceRun::RemoveRecursiveStackAreas() {
    while (DropRepeatedRun())
        if (Aborted()) return;
}

int32_t TTraceRun::NextCertain(int32_t r) const {
    const int32_t n = int32_t(FItems.size());
    for (int32_t i = r + 1; i < n; ++i)
        if (FItems[size_t(i)].Certain && !FItems[size_t(i)].Invalid) return i;
    return n - 1;
}

void TTraceRun::CompleteLink(int32_t r, TAddress callSite, TAddress callee, bool known,
                             bool approve, bool again) {
    int32_t calleeFunction = -1;
    if (known && callee) {
        calleeFunction = FCaches.AddFunction(callee, {}, approve, &FSnapshot);
        if (again && Fn(calleeFunction).HasFarJump)
            CompleteLink(r, callSite, 0, false, approve, false);
    }
    const int32_t last = FNextCertain[size_t(r)];
    std::vector<int32_t>& candidates = FCandidates;
    candidates.clear();
    if (calleeFunction >= 0) {
        const TFunction& f = Fn(calleeFunction);
        auto add = [&](TAddress end) {
            const auto it = FByAddress.find(end);
            if (it == FByAddress.end()) return;
            const std::vector<int32_t>& at = it->second; // ascending
            auto i = std::upper_bound(at.begin(), at.end(), r);
            for (size_t n = 0; i != at.end() && *i <= last && n < kFanOut; ++i, ++n)
                candidates.push_back(*i);
        };
        for (const TFarCall& c : f.Info.FarCalls)
            if (c.IsCall) add(c.Next);
        for (const TUnknownTarget& u : f.Info.UnknownTargets)
            if (u.IsCall) add(u.Next);
        std::sort(candidates.begin(), candidates.end());
        candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
        if (candidates.size() > kFanOut) candidates.resize(kFanOut);
        if (last > r && FItems[size_t(last)].Forced &&
            !std::binary_search(candidates.begin(), candidates.end(), last))
            candidates.push_back(last);
    } else {
        for (int32_t i = r + 1; i <= last && candidates.size() < kFanOut; ++i)
            candidates.push_back(i);
    }
    for (int32_t i : candidates) {
        TItem& item = FItems[size_t(i)];
        if (item.Invalid) continue;
        TAddress site = 0;
        if (calleeFunction >= 0) {
            TCallSite found;
            if (!FindCallSite(calleeFunction, item, found, nullptr)) continue;
            site = found.Site;
        } else {
            site = item.Down.empty() ? item.Lookup : item.Down.front().CallSite;
        }
        if (!approve) {
            bool vetoed = false;
            for (const TLink& l : item.Down)
                vetoed |= l.Function >= 0 && Fn(l.Function).Approved && l.CallSite != site;
            if (vetoed) continue;
        }
        bool duplicate = false;
        for (const TLink& l : item.Down)
            duplicate |= l.Target == r && l.CallSite == site && l.Function == calleeFunction;
        if (duplicate) continue;
        item.Down.push_back({calleeFunction, r, site, 0, false});
        FItems[size_t(r)].Up.push_back({calleeFunction, i, callSite, callee, known});
    }
}

void TTraceRun::InDeepChecks() {
    const int32_t n = int32_t(FItems.size());
    FNextCertain.assign(size_t(n), n - 1);
    for (int32_t i = n - 1, next = n - 1; i >= 0; --i) {
        FNextCertain[size_t(i)] = next;
        if (FItems[size_t(i)].Certain) next = i;
    }
    const int32_t first = FRequest.CreationAddress ? 1 : 0;
    if (first == 1 && n > 0)
        CompleteLink(0, FRequest.CreationAddress, FRequest.CreationAddress, true, true);
    for (int32_t r = first; r < n; ++r) {
        if (FRequest.Progress && n) Progress(25 + r * 625 / n);
        if ((r & 63) == 0 && Aborted()) return;
        TItem& item = FItems[size_t(r)];
        if (item.Invalid) continue;
        FFaultAddress = item.Address;
        const TLink* chosen = nullptr;
        for (const TLink& l : item.Down)
            if (l.Function >= 0 && Fn(l.Function).Approved) {
                chosen = &l;
                break;
            }
        if (chosen) {
            const TLink link = *chosen;
            for (const TLink& l : item.Down)
                if (l.Function >= 0 && l.CallSite != link.CallSite) FExcluded.insert(l.Function);
            CompleteLink(r, link.CallSite, link.Callee, link.TargetKnown, true);
            continue;
        }
        const std::vector<int32_t> holders = FCaches.ApprovedContaining(item.Address);
        if (!holders.empty()) {
            TCallSite site;
            if (FindCallSite(holders.front(), item, site, nullptr)) {
                item.Down.push_back(
                    {holders.front(), -1, site.Site, site.Callee, site.CalleeKnown});
                CompleteLink(r, site.Site, site.Callee, site.CalleeKnown, true);
            } else if (!item.Certain) {
                item.Invalid = true;
            }
            continue;
        }
        TAddress regionStart = 0, regionEnd = 0;
        if (!Memory().FindRegion(item.Address - 1, regionStart, regionEnd)) continue;
        const TDisAsmContext context = FCaches.Context(item.Module, &FSnapshot);
        for (TAddress back = 7; back >= 2; --back) {
            if (item.Address < back || item.Address - back < regionStart) continue;
            TInstructionInfo info;
            DecodeInstruction(context, item.Address - back, info);
            if (info.IsValid && info.IsCall && info.Next == item.Address)
                CompleteLink(r, info.Start, info.Target, info.Target != 0, false);
        }
    }
}

bool TTraceRun::LineKnown(const TItem& item) const {
    if (item.Module < 0) return false;
    const auto& map = Mod(item.Module).Map;
    TAddress next = 0;
    return map && map->FindLine(item.Address - 1, next) > 0;
}

uint64_t TTraceRun::Score(int32_t from, int32_t towards, bool down, bool allFunctions) {
    // Down links lead to older items and up links to newer ones, so scoring in index order
    // away from `towards` finds every target already scored.
    const int32_t n = int32_t(FItems.size());
    const int32_t lo = down ? towards + 1 : from, hi = down ? from : towards - 1;
    auto scoreOf = [&](int32_t i, int flag) -> uint64_t {
        TMemo& m = FMemo[size_t(i)];
        return m.Stamp[flag] == FStamp ? m.Score[flag] : kNoChain;
    };
    auto compute = [&](int32_t i) {
        TItem& item = FItems[size_t(i)];
        TMemo& memo = FMemo[size_t(i)];
        const auto& links = down ? item.Down : item.Up;
        for (int flag = 0; flag < 2; ++flag) {
            uint64_t best = kNoChain;
            int32_t bestIndex = -1;
            for (size_t k = 0; k < links.size(); ++k) {
                const TLink& l = links[k];
                const int32_t t = l.Target;
                if (t < 0 || t >= n || (down ? t < towards : t > towards)) continue;
                if (t != towards && FItems[size_t(t)].Invalid) continue;
                const bool hasFunction = l.Function >= 0;
                uint64_t base;
                if (t == towards)
                    base = kHigh(hasFunction ? 0x70000000 : 0x50000000);
                else
                    base = scoreOf(t, flag && hasFunction ? 1 : 0);
                unsigned e = 0;
                if (!hasFunction) {
                    base &= ~kAllFunctions;
                } else {
                    e = (flag || (base & kAllFunctions)) ? 28 : 14;
                    if (Fn(l.Function).Approved) e += 14;
                    const TItem& other = FItems[size_t(t)];
                    if (item.Module >= 0 && other.Module >= 0 && Mod(item.Module).Map) {
                        const bool mine = LineKnown(item), theirs = LineKnown(other);
                        e += mine && theirs ? 9 : mine ? 6 : 3;
                    }
                }
                const uint64_t score = base + (uint64_t(1) << e);
                if (score > best) {
                    best = score;
                    bestIndex = int32_t(k);
                }
            }
            memo.Stamp[flag] = FStamp;
            memo.Score[flag] = best;
            memo.Best[flag] = bestIndex;
        }
    };
    if (down)
        for (int32_t i = std::max(lo, 0); i <= hi; ++i)
            compute(i);
    else
        for (int32_t i = hi; i >= std::max(lo, 0); --i)
            compute(i);
    return scoreOf(from, allFunctions ? 1 : 0);
}

void TTraceRun::Realize(int32_t older, int32_t newer) {
    if (newer - older <= 1) return;
    FMemo.resize(FItems.size());
    ++FStamp;
    uint64_t forward = 0;
    if (older >= 0) forward = Score(older, newer, false, true);
    const uint32_t forwardStamp = FStamp;
    uint64_t backward = 0;
    if (!(forward & kReaches)) {
        ++FStamp;
        backward = Score(newer, older, true, true);
    }
    for (int32_t i = older + 1; i < newer; ++i)
        FItems[size_t(i)].Invalid = true;
    const bool up = forward > backward;
    // Following the remembered best links needs the memo of the chosen direction.
    if (up && FStamp != forwardStamp) {
        ++FStamp;
        Score(older, newer, false, true);
    }
    int32_t at = up ? older : newer;
    const int32_t end = up ? newer : older;
    int flag = 1;
    for (size_t steps = 0; at != end && steps < FItems.size(); ++steps) {
        const int32_t k = FMemo[size_t(at)].Best[flag];
        if (k < 0) break;
        const TLink& l = (up ? FItems[size_t(at)].Up : FItems[size_t(at)].Down)[size_t(k)];
        flag = flag && l.Function >= 0 ? 1 : 0;
        at = l.Target;
        if (at < 0 || at == end) break;
        FItems[size_t(at)].Invalid = false;
    }
}

void TTraceRun::RealizeOptimalLinkChains() {
    const int32_t n = int32_t(FItems.size());
    if (n == 0) return;
    int32_t previous = n - 1;
    for (int32_t i = n - 2; i >= 0; --i) {
        if (FRequest.Progress) Progress(650 + (n - i) * 350 / n);
        if ((i & 63) == 0 && Aborted()) return;
        const TItem& item = FItems[size_t(i)];
        if (!item.Certain || item.Invalid) continue;
        FFaultAddress = item.Address;
        Realize(i, previous);
        previous = i;
    }
    Realize(-1, previous);
}

} // namespace qix::trace

namespace qix {

bool FollowsCall(const IMemoryReader& memory, TAddress address, const TReadableRanges* snapshot) {
    uint8_t b[8];
    if (address < 8 || !TryReadMemory(memory, address - 8, b, 8, snapshot)) return false;
    auto at = [&](int back) { return b[8 - back]; };
    auto callModRm = [](uint8_t m) { return (m & 0x30) == 0x10; };
    if (at(5) == 0xE8) return true;
    // FF /2 and FF /3: near and far indirect calls of 2, 3, 4, 6 or 7 bytes.
    for (int back : {2, 3, 4, 6, 7})
        if (at(back) == 0xFF && callModRm(at(back - 1))) return true;
    return at(7) == 0x9A;
}

} // namespace qix
