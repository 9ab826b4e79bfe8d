#!/usr/bin/env bash
# The Windows program as a user sees it: the demo from the folder that
# scripts/windows.sh made, under Wine on an Xvfb display with openbox,
# screenshots in build-windows/screens/ (the wizard at the first start, the
# main window, its Midi menu, the test window). NAME.png is the screen as
# shown; NAME-window.png the window's own contents as the X server holds
# them (under Wine 8 a window lying wholly over another of the program's
# windows shows black on the screen, see the README).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
folder="$(ls -d build-windows/kolva-updater-*-windows | head -1)"
out="$root/build-windows/screens"
mkdir -p "$out"
for p in xvfb openbox x11-apps netpbm xdotool; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$p" >/dev/null
done
export KOLVA_QT_MINGW="$(sed -n 's/^KOLVA_QT_MINGW:PATH=//p' build-windows/CMakeCache.txt)"
export KOLVA_WINEPREFIX="${KOLVA_WINEPREFIX:-$HOME/.cache/kolva-windows/wine-screens}"
exec 3<> <(:)
Xvfb -displayfd 3 -screen 0 1024x700x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
read -r -t 20 n <&3 || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$n"
openbox >/dev/null 2>&1 &
wm=$!
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  WINEPREFIX="$KOLVA_WINEPREFIX" /usr/lib/wine/wineserver -k 2>/dev/null || true
  kill "$wm" "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
shot() {
  xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng >"$out/$1.png"
  echo "$out/$1.png"
  [ -n "${2:-}" ] || return 0
  local id
  id="$(xdotool search --name "$2" | head -1)"
  xwd -id "$id" -silent | xwdtopnm 2>/dev/null | pnmtopng >"$out/$1-window.png"
  echo "$out/$1-window.png"
}
# Waits (at most 90 s: a fresh Wine prefix is made first) for a window.
await() {
  for _ in $(seq 180); do
    xdotool search --name "$1" >/dev/null 2>&1 && { sleep 2; return 0; }
    sleep 0.5
  done
  echo "no window \"$1\" after 90 s" >&2
  return 1
}
start() {
  (cd "$folder" && exec "$root/scripts/wine-run.sh" ./kolva-updater-demo.exe >/dev/null 2>&1) &
  pid=$!
}
stop() { kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null || true; pid=""; sleep 2; }

rm -f "$folder/kolva-updater-demo.INI"
start
await "Welcome!"
shot wizard "Welcome!"
stop
# Without the wizard, through the settings file the program reads.
printf '[FIRST_TIME]\r\nFT=0\r\n' >"$folder/kolva-updater-demo.INI"
start
await "Kolva Updater"
shot main
xdotool search --name "Kolva Updater" windowactivate 2>/dev/null || true
sleep 1
xdotool key alt+m
sleep 2
shot midi-menu
# Midi > Test Connection, the third entry.
xdotool key Down Down Return
await "Midi Test"
shot test-window "Midi Test"
stop
