#!/usr/bin/env bash
# Takes the screenshot the software centres show: the demo program on a
# virtual X display, halfway through an update of its simulated amplifier.
#   packaging/take-screenshot.sh BUILD_DIR [OUT.png]
# Needs Xvfb, xdotool and ImageMagick's import.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:?usage: $0 BUILD_DIR [OUT.png]}" && pwd)"
out="${2:-$here/screenshots/main-window.png}"
cmake --build "$build" --target kolva-updater-demo

# A copy of the demo with settings of its own: no startup help, the example
# file already chosen.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$build/app/kolva-updater-demo" "$work/"
printf '[INI_VERSION]\nVERSION=1\n[FIRST_TIME]\nFT=0\n[START_POS]\nX=0\nY=0\n[FIRMWARE]\nFILE=%s\n' \
  "$here/../examples/kolva-02.10-encrypted.syx" >"$work/kolva-updater-demo.INI"

export work out
xvfb-run -a -s "-screen 0 800x500x24" bash -c '
  set -euo pipefail
  QT_QPA_PLATFORM=xcb "$work/kolva-updater-demo" & pid=$!
  win=""
  for _ in $(seq 50); do
    win=$(xdotool search --onlyvisible --name "^Kolva Updater" 2>/dev/null | head -1) && [ -n "$win" ] && break
    sleep 0.2
  done
  [ -n "$win" ] || { echo "the window did not come up" >&2; exit 1; }
  sleep 1
  # Midi > Out and Midi > In: the simulated amplifier; then Run > Upload
  # Code. The menus open with a click (there is no window manager to give
  # the window the keyboard) and are walked with the keys.
  menu() { xdotool mousemove --window "$win" "$1" 9 click 1; sleep 0.5; shift; for k in "$@"; do xdotool key "$k"; sleep 0.3; done; }
  menu 57 Down Right Down Return
  menu 57 Down Down Right Down Return
  menu 95 Down Return
  sleep 8
  # The warning over the panel blinks: keep a shot with it lit (the most
  # red in its band).
  best=-1
  for i in 1 2 3 4 5 6; do
    import -window "$win" "$work/shot$i.png"
    red=$(convert "$work/shot$i.png" -crop 408x22+146+22 -channel R -separate -format "%[fx:int(mean*10000)]" info:)
    if [ "$red" -gt "$best" ]; then best=$red; cp "$work/shot$i.png" "$out"; fi
    sleep 0.15
  done
  kill "$pid"
'
echo "$out"
