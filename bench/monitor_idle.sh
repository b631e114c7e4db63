#!/bin/bash
# Idle cost of the running monitor under Wine: CPU seconds the process uses over a
# period with the default settings (host 127.0.0.1, icon update 1 ms), as a share of
# one core. Usage: bench/monitor_idle.sh [SECONDS] (default 60). Target: under 1 %.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
# shellcheck disable=SC1091
. scripts/wine-env
preset=win32
build=$PWD/build/$preset
scripts/build host "$preset" >/dev/null
export QIX_BUILD_DIR=$build
scripts/wine-session start "$build"
key='HKCU\Software\VORN\Ravelink 2'
scripts/wine-exec reg delete "$key" /f >/dev/null 2>&1 || true
scripts/wine-exec reg add "$key" /v Host /t REG_SZ /d 127.0.0.1 /f >/dev/null
scripts/wine-exec "$build/bin/Ravelink.exe" &
sleep 3
pid=$(pgrep -x Ravelink.exe | head -1)
[ -n "$pid" ] || { echo "Ravelink did not start"; exit 1; }
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
hz=$(getconf CLK_TCK)
before=$(ticks)
sleep "$seconds"
after=$(ticks)
kill "$pid" 2>/dev/null || true
scripts/wine-session stop "$build"
python3 -c "
cpu = ($after - $before) / $hz
print(f'Ravelink ($preset build) used {cpu:.2f} CPU s in $seconds s: {100 * cpu / $seconds:.2f} % of one core (target < 1 %)')"
