#!/usr/bin/env bash
# The Windows program as a user sees it: the demo from the folder that
# scripts/windows.sh made, under Wine on an Xvfb display with openbox,
# screenshots in build-windows/screens/ (the wizard at the first start, the
# main window, its Midi menu, the test window).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
folder="$(ls -d build-windows/kolva-updater-*-windows | head -1)"
out="$root/build-windows/screens"
mkdir -p "$out"
for p in xvfb openbox netpbm xdotool python3; do
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
# The screen by one plain GetImage of the root. Not xwd -root: Wine gives
# each window a colormap of its own, and xwd's reading of a screen with
# several colormaps shows a window lying wholly over another one black.
shot() {
  python3 - 1024 700 <<'PY' | pnmtopng >"$out/$1.png"
import ctypes, sys
x = ctypes.CDLL("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x.XDefaultRootWindow.restype = ctypes.c_ulong
x.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_int] * 2 + [ctypes.c_uint] * 2 + [ctypes.c_ulong, ctypes.c_int]
x.XGetImage.restype = ctypes.POINTER(ctypes.c_int)
w, h = int(sys.argv[1]), int(sys.argv[2])
d = x.XOpenDisplay(None)
im = x.XGetImage(d, x.XDefaultRootWindow(d), 0, 0, w, h, 0xFFFFFFFF, 2)  # ZPixmap
# XImage: four ints, the data pointer, five ints, then bytes_per_line.
data = ctypes.cast(im, ctypes.POINTER(ctypes.c_void_p))[2]
stride = im[11]
raw = ctypes.string_at(data, stride * h)
rgb = bytearray(3 * w * h)
for y in range(h):
    row = raw[y * stride:y * stride + 4 * w]  # 32-bit BGRX
    rgb[3 * w * y + 0:3 * w * (y + 1):3] = row[2::4]
    rgb[3 * w * y + 1:3 * w * (y + 1):3] = row[1::4]
    rgb[3 * w * y + 2:3 * w * (y + 1):3] = row[0::4]
sys.stdout.buffer.write(b"P6\n%d %d\n255\n" % (w, h) + bytes(rgb))
PY
  echo "$out/$1.png"
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
shot wizard
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
shot test-window
stop
