#!/usr/bin/env bash
# Processor time of the upload's waits on a real X display with a window
# manager (Xvfb and openbox unless DISPLAY is set): the single-message
# transfer, the wait for the devices and the version confirmation.
#   scripts/bench-upload-waits.sh [--single-bytes N]
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOLVA_TESTS=ON -DKOLVA_BENCH=ON >/dev/null
cmake --build build-bench -j"$(nproc)" --target kolva-bench-upload-waits
bench=build-bench/tests/upload/kolva-bench-upload-waits
if [ -n "${DISPLAY:-}" ]; then
  exec env QT_QPA_PLATFORM=xcb "$bench" "$@"
fi
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
for n in $(seq 90 120); do
  [ -e "/tmp/.X11-unix/X$n" ] || break
done
Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
DISPLAY=":$n" openbox --sm-disable >/dev/null 2>&1 &
pids+=($!)
sleep 1
DISPLAY=":$n" QT_QPA_PLATFORM=xcb "$bench" "$@"
