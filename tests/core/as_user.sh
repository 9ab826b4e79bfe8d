#!/bin/sh
# as_user.sh TEST_BINARY: runs the file and settings tests as nobody when
# started as root (as CI is), so that the cases about permissions, which
# root passes by, run too. Exit 77 (skipped) for an ordinary user, who runs
# them in the suite already.
set -eu
[ "$(id -u)" -eq 0 ] || { echo "skipped: an ordinary user runs these in the suite"; exit 77; }
command -v setpriv >/dev/null || { echo "skipped: no setpriv"; exit 77; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# A copy nobody may run, wherever the build tree lives.
cp "$1" "$work/tests"
chmod 0755 "$work" "$work/tests"
mkdir "$work/tmp"
chown nobody "$work/tmp"
setpriv --reuid=nobody --regid=nogroup --clear-groups \
  env -i PATH=/usr/bin:/bin TMPDIR="$work/tmp" HOME="$work/tmp" \
  ASAN_OPTIONS="${ASAN_OPTIONS:-}" UBSAN_OPTIONS="${UBSAN_OPTIONS:-}" "$work/tests" --gtest_filter='ProfileTest.*:SettingsFileTest.*'
