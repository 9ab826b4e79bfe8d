#!/usr/bin/env bash
# package_test.sh BUILD_DIR: makes and installs the Debian package as the
# README's install line does (scripts/package.sh --install, a build of its
# own with only the package's programs), checks where its files went and that the desktop's validators
# accept them, starts the installed program as nobody (offscreen) and checks
# that its settings land in that user's configuration folder, then removes the
# package again, whatever happened. Exit 77: cannot run here.
set -euo pipefail
build="$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)"
pkg=kolva-updater

[ "$(id -u)" -eq 0 ] || { echo "skipped: installing a package needs root"; exit 77; }
command -v dpkg >/dev/null || { echo "skipped: not a Debian system"; exit 77; }
if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "installed"; then
  echo "$pkg is installed on this machine already; remove it first (dpkg -r $pkg)" >&2
  exit 1
fi

work="$(mktemp -d)"
installed=0
cleanup() {
  [ "$installed" -eq 1 ] && dpkg -r "$pkg" >/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

src="$(cd "$(dirname "$0")/../.." && pwd)"
echo "== the README's install line: scripts/package.sh --install"
installed=1
timeout 900 "$src/scripts/package.sh" --install "$work/build" >"$work/package.log" 2>&1 ||
  { tail -40 "$work/package.log"; fail "scripts/package.sh --install"; }
deb="$(ls "$work"/build/${pkg}_*.deb)"
depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
for lib in libqt6widgets6 libqt6dbus6 libasound2 libc6; do
  [[ "$depends" == *"$lib"* ]] || fail "Depends lacks $lib"
done
[ ! -e "$work/build/tests" ] || fail "the package build built the tests"

expected=(
  /usr/bin/kolva-updater /usr/bin/kolva-updater-demo /usr/bin/kolva-amp-sim /usr/bin/kolva-syxgen
  /usr/share/applications/kolva-updater.desktop
  /usr/share/metainfo/example.kolva.updater.metainfo.xml
  /usr/share/icons/hicolor/scalable/apps/kolva-updater.svg
  /usr/share/kolva-updater/examples/kolva-02.06-packets.syx
  /usr/share/doc/kolva-updater/URW-COPYRIGHT.txt
)
for size in 16 22 24 32 48 64 128 256; do
  expected+=("/usr/share/icons/hicolor/${size}x${size}/apps/kolva-updater.png")
done
for f in "${expected[@]}"; do
  [ -f "$f" ] || fail "missing $f"
done
for size in 16 48 256; do
  file -b "/usr/share/icons/hicolor/${size}x${size}/apps/kolva-updater.png" | grep -q "PNG image data, $size x $size" ||
    fail "the ${size}x${size} icon is not a $size-pixel PNG"
done
unexpected="$(dpkg -L "$pkg" | grep -v -E '^/usr/(bin|share/(applications|metainfo|icons|kolva-updater|doc/kolva-updater))(/|$)|^/\.$|^/usr$|^/usr/share$|^/usr/share/doc$' || true)"
[ -z "$unexpected" ] || fail "files outside the expected folders: $unexpected"
desktop-file-validate /usr/share/applications/kolva-updater.desktop || fail "desktop entry"
appstreamcli validate --no-net /usr/share/metainfo/example.kolva.updater.metainfo.xml || fail "metainfo"
/usr/bin/kolva-syxgen packet --version 2.06 --packets 2 --payload 64 -o "$work/made.syx" >/dev/null ||
  fail "kolva-syxgen"

echo "== the installed program, as nobody"
home="$work/home"
mkdir -p "$home" "$work/run"
chmod 0755 "$work"
chown nobody "$home" "$work/run"
chmod 0700 "$work/run"
setpriv --reuid=nobody --regid=nogroup --clear-groups \
  env -i HOME="$home" PATH=/usr/bin:/bin XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=offscreen \
  /usr/bin/kolva-updater >"$work/run.log" 2>&1 &
pid=$!
sleep 3
kill -0 "$pid" 2>/dev/null || { cat "$work/run.log"; fail "the program did not stay up"; }
# A session that ends closes the program as its close box would.
kill -TERM "$pid"
for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && { kill -KILL "$pid"; fail "the program did not close on SIGTERM"; }
wait "$pid" || { cat "$work/run.log"; fail "the program exited with status $?"; }
ini="$home/.config/kolva-updater.INI"
[ -f "$ini" ] || { cat "$work/run.log"; ls -laR "$home"; fail "no settings in $ini"; }
grep -q "VERSION=1" "$ini" && grep -q "START_POS" "$ini" || { cat "$ini"; fail "settings incomplete"; }
[ "$(stat -c %U "$ini")" = nobody ] || fail "settings not owned by the user"
[ ! -e /usr/bin/kolva-updater.INI ] || fail "settings beside the installed program"

echo "== dpkg -r"
dpkg -r "$pkg" >/dev/null
installed=0
for f in "${expected[@]}"; do
  [ ! -e "$f" ] || fail "$f left behind"
done
echo "package test passed"
