#!/bin/bash
# End to end: the real program under Wine, pinging loopback from stored settings.
# The user's actions are real X input: a right-click on the tray icon and the
# keyboard in its menu. Usage: ravelink_e2e.sh RAVELINK.EXE
set -uo pipefail
exe=${1:?Ravelink.exe}
here=$(cd "$(dirname "$0")/../../scripts" && pwd)
build=${QIX_BUILD_DIR:?}
# shellcheck disable=SC1091
. "$build/wine/session.env"
export DISPLAY
run() { "$here/wine-exec" "$@"; }
fail() { echo "FAIL: $*"; exit 1; }
key='HKCU\Software\VORN\Ravelink 2'
shots=$build/screenshots
mkdir -p "$shots"

run reg delete "$key" /f >/dev/null 2>&1
for kv in Host=127.0.0.1 PingFrequency=300 PingTimeout=60 IconUpdate=1; do
    run reg add "$key" /v "${kv%%=*}" /t REG_SZ /d "${kv#*=}" /f >/dev/null || fail "reg add"
done

run "$exe" &
app=$!
trap 'kill $app 2>/dev/null' EXIT
# Waits (at most a generous bound, emulated machines are slow) until the command succeeds.
await() {
    local deadline=$((SECONDS + 180))
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}
tray_window() { xwininfo -root -tree | awk '/"Wine System Tray"/ {print $1; exit}'; }
have_tray() {
    kill -0 $app 2>/dev/null || fail "Ravelink ended early"
    tray=$(tray_window)
    [ -n "$tray" ]
}
await have_tray || fail "no notification area window"
# The 16 x 16 icon sits 2 pixels in from the tray's corner; look at its bottom row.
green_bar() {
    import -window "$tray" "$shots/e2e-tray.png" || return 1
    lit=$(convert "$shots/e2e-tray.png" -crop 8x1+10+17 txt:- | python3 -c '
import re, sys
n = 0
for line in sys.stdin:
    m = re.search(r"\((\d+),(\d+),(\d+)", line)
    if m and not line.startswith("#"):
        r, g, b = map(int, m.groups())
        n += g > 40 and r < g and b < 40
print(n)')
    [ "${lit:-0}" -ge 1 ]
}
await green_bar || fail "no green bar in the right-most columns"
echo "tray screenshot: $shots/e2e-tray.png"
echo "green bottom pixels in the right-most columns: $lit"

# Values are stored at exit, not before: remove one and expect it back.
run reg delete "$key" /v IconUpdate /f >/dev/null || fail "reg delete"
geom=$(xwininfo -id "$tray" | awk '/Absolute upper-left X/ {x=$4} /Absolute upper-left Y/ {y=$4} END {print x, y}')
read -r tx ty <<<"$geom"
windows() { xwininfo -root -children | grep -c '^ *0x'; }
before=$(windows)
xdotool mousemove $((tx + 10)) $((ty + 10)) click 3
menu_open() { [ "$(windows)" -gt "$before" ]; }
await menu_open || fail "the popup menu did not open"
sleep 0.5 # the menu draws itself after its window appears
import -window root -crop 300x200+0+0 "$shots/e2e-menu.png"
xdotool key Up Return # the last item: "Exit"
ended() { ! kill -0 $app 2>/dev/null; }
await ended || fail "Exit did not end the program"
out=$(run reg query "$key")
echo "$out"
for v in Host PingFrequency PingTimeout IconUpdate; do
    grep -q "$v" <<<"$out" || fail "$v was not stored at exit"
done
grep -q '127.0.0.1' <<<"$out" || fail "host not kept"
echo "PASS"
