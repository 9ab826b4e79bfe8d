#!/usr/bin/env bash
# Installs what is missing, builds, and starts the Kolva Updater.
#   ./run.sh          the program, with the system's MIDI devices
#   ./run.sh --demo [--amp-version dd.dd] [--amp SWITCHES...]
#                     the same with a simulated amplifier (faults as kolva-amp-sim takes them)
set -euo pipefail
cd "$(dirname "$0")"
program=kolva-updater
if [ "${1:-}" = "--demo" ]; then
  program=kolva-updater-demo
  shift
fi
./scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOLVA_TESTS=OFF
cmake --build build --target "$program" -j"$(nproc)"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: starting on a virtual X display (xvfb-run)."
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "build/app/$program" "$@"
fi
exec "build/app/$program" "$@"
