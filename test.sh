#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite, then the
# unit, component and window tests built for Windows under Wine; then runs
# the firmware-parser fuzzer for a bounded time.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
jobs="$(nproc)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOLVA_TESTS=ON -DKOLVA_PACKAGE_TEST=ON
cmake --build build -j"$jobs"
QT_QPA_PLATFORM=offscreen ctest --test-dir build --output-on-failure -j"$jobs" --timeout 300
# The same tests built for Windows, under Wine. They need a Qt for Windows:
# KOLVA_QT_MINGW, ../shared/qt6-mingw/ or one cached by an earlier
# scripts/windows.sh. Without one they are skipped (building Qt takes about
# an hour): KOLVA_WINDOWS_TESTS=1 builds it, KOLVA_WINDOWS_TESTS=0 skips them.
qt_cached="${KOLVA_WINDOWS_CACHE:-$HOME/.cache/kolva-windows}/qt-6.4.2/.from"
# Then a whole update by the Windows program through Wine's MIDI service, in
# the kernel MIDI VM (skipped where the VM cannot run).
windows_tests() {
  ./scripts/windows.sh --test
  local rc=0
  ./scripts/wine-midi-vm.sh --update || rc=$?
  [ "$rc" = 77 ] && { echo "The update through Wine's MIDI service did not run: no VM here." >&2; rc=0; }
  return "$rc"
}
case "${KOLVA_WINDOWS_TESTS:-auto}" in
  0) ;;
  1) windows_tests ;;
  *)
    if [ -n "${KOLVA_QT_MINGW:-}" ] || [ -d ../shared/qt6-mingw ] || [ -f "$qt_cached" ]; then
      windows_tests
    else
      echo "Windows tests skipped: no Qt for Windows here (KOLVA_WINDOWS_TESTS=1 builds one, about an hour)." >&2
    fi
    ;;
esac
./scripts/fuzz.sh "${KOLVA_FUZZ_SECONDS:-60}"
