#!/usr/bin/env bash
# Installs what is missing, builds, and starts the Kolva Updater.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOLVA_TESTS=OFF
cmake --build build --target kolva-updater -j"$(nproc)"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: starting on a virtual X display (xvfb-run)."
  exec xvfb-run -a -s "-screen 0 1280x1024x24" build/app/kolva-updater
fi
exec build/app/kolva-updater
