#!/bin/bash
# Costs of the crash library in the crash lab under Wine (emulated 32-bit here, so
# slower than on Windows): start-up of the library until main, private memory while
# idle (active minus inactive build), and the time from a fault to the report file,
# with the emulation factor of a plain loop measured in the same run, and that time split
# into its steps (crashlab's "costs" mode stamps them from its own handler and listener).
# Usage: bench/crashlab_costs.sh [RUNS] (default 5).
# Targets: idle memory under 2 MB; start-up under 5 ms once divided by the factor.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
build=$PWD/build/win32
export QIX_BUILD_DIR=$build
scripts/wine-session start "$build"
bin=$build/bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
value() { sed -n "s/^$1: \([0-9-]*\).*/\1/p"; }
# Resident memory (Linux's count of touched pages) of a lab idling in its window: Wine
# counts every thread stack and the reserve's no-access blocks as committed in full,
# which says little about what a report-ready process really holds.
resident_kb() {
    scripts/wine-exec "$bin/$1.exe" >/dev/null 2>&1 &
    local pid=""
    for _ in $(seq 100); do
        pid=$(pgrep -f "^$bin/$1.exe\$" | head -1) && [ -n "$pid" ] && break
        sleep 0.1
    done
    sleep 4
    local kb
    kb=$(sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\).*/\1/p' "/proc/$pid/status")
    kill "$pid"
    wait 2>/dev/null || true
    echo "$kb"
}
starts_active="" starts_none="" mem_active=0 mem_none=0 sum_fault=0 rss_active=0 rss_none=0
steps=$work/steps.txt
: >"$steps"
# The report's date/time line is the moment of the fault; the file's time is its end.
fault_to_file() {
    python3 - "$1" <<'PY'
import datetime, os, re, sys
text = open(sys.argv[1], encoding="latin-1").read()
m = re.search(r"^date/time\s*: (\d+)-(\d+)-(\d+), (\d+):(\d+):(\d+), (\d+)ms", text, re.M)
fault = datetime.datetime(*map(int, m.groups()[:6]), int(m.group(7)) * 1000,
                          tzinfo=datetime.timezone.utc).timestamp()
print(round((os.stat(sys.argv[1]).st_mtime - fault) * 1000))
PY
}
for _ in $(seq "$runs"); do
    out=$(scripts/wine-exec "$bin/crashlab.exe" measure 2>&1)
    starts_active="$starts_active $(echo "$out" | value "start-up to main")"
    mem_active=$(echo "$out" | value "private bytes")
    out=$(scripts/wine-exec "$bin/crashlab_none.exe" measure 2>&1)
    starts_none="$starts_none $(echo "$out" | value "start-up to main")"
    mem_none=$(echo "$out" | value "private bytes")
    rss_active=$((rss_active + $(resident_kb crashlab)))
    rss_none=$((rss_none + $(resident_kb crashlab_none)))
    scripts/wine-exec "$bin/crashlab.exe" write-av "Z:${work//\//\\}" >/dev/null 2>&1 || true
    [ -s "$work/crashlab-write-av.txt" ] || { echo "no report was written"; exit 1; }
    sum_fault=$((sum_fault + $(fault_to_file "$work/crashlab-write-av.txt")))
    rm -f "$work"/crashlab-*.txt
    out=$(scripts/wine-exec "$bin/crashlab.exe" costs "Z:${work//\//\\}" 2>&1 || true)
    [ -s "$work/crashlab-costs.txt" ] || { echo "no report was written in costs mode"; exit 1; }
    python3 - "$work/crashlab-costs.txt" >>"$steps" <<PY
import os, re, sys
stamps = dict(re.findall(r"^([a-z ]+): ([0-9.]+)$", """$out""", re.M))
t = {k: float(v) for k, v in stamps.items()}
written = os.stat(sys.argv[1]).st_mtime * 1000
print(t["created"] - t["fault"], t["started"] - t["created"], t["crashed traced"] - t["started"],
      t["machine sections"] - t["crashed traced"], t["complete"] - t["machine sections"],
      written - t["complete"], written - t["fault"])
PY
    rm -f "$work"/crashlab-*.txt
done
emulated=$(scripts/wine-exec "$bin/crashlab.exe" loop 2>&1 | value "loop")
cat >"$work/loop.c" <<'C'
#include <stdio.h>
#include <time.h>
int main(void) {
    struct timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    volatile unsigned sum = 0;
    for (unsigned i = 0; i < 200000000u; ++i) sum = sum + i;
    clock_gettime(CLOCK_MONOTONIC, &b);
    printf("loop: %ld ms\n", (b.tv_sec - a.tv_sec) * 1000 + (b.tv_nsec - a.tv_nsec) / 1000000);
    return 0;
}
C
cc -O2 -o "$work/loop" "$work/loop.c"
native=$("$work/loop" | value "loop")
python3 - "$runs" "$mem_active" "$mem_none" "$sum_fault" "$emulated" "$native" \
    "$rss_active" "$rss_none" "$steps" "$starts_active" "$starts_none" <<'PY'
import statistics, sys
runs, mem_a, mem_n, fault, emu, nat, rss_a, rss_n = map(int, sys.argv[1:9])
rows = [list(map(float, line.split())) for line in open(sys.argv[9]) if line.strip()]
# Medians: a cold first start of Wine's helpers would otherwise decide the difference.
act = statistics.median(map(int, sys.argv[10].split()))
none = statistics.median(map(int, sys.argv[11].split()))
factor = emu / max(nat, 1)
startup = act - none
print(f"emulation factor (plain loop): {factor:.1f} ({emu} ms vs {nat} ms native)")
print(f"library start until main (median): active {act:.1f} ms, inactive {none:.1f} ms")
print(f"library start-up (difference): {startup:.1f} ms, {startup / factor:.2f} ms scaled"
      f" (target < 5 ms)")
print(f"idle private memory, active minus inactive: {(mem_a - mem_n) / 1048576:.2f} MB"
      f" (target < 2 MB; 2 MB of it is the emergency reserve's committed no-access blocks)")
print(f"idle resident memory, active minus inactive: {(rss_a - rss_n) / runs / 1024:.2f} MB")
print(f"fault to report file on disk: {fault / runs:.0f} ms")
names = ["hand-over to the handling thread and exception object",
         "header, thread records and placeholders", "tracing the crashed thread",
         "machine sections (registers, stack dump, disassembly)", "other threads' tracing",
         "writing the file", "total (fault to file)"]
means = [sum(r[i] for r in rows) / len(rows) for i in range(7)]
print(f"fault to file by steps (costs mode, mean of {len(rows)} runs):")
for name, mean in zip(names, means):
    share = 100 * mean / means[-1] if means[-1] > 0 else 0
    print(f"  {name}: {mean:.1f} ms ({share:.0f}%)")
PY
