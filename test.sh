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
# The same tests built for Windows, under Wine (KOLVA_WINDOWS_TESTS=0 skips them).
[ "${KOLVA_WINDOWS_TESTS:-1}" = 0 ] || ./scripts/windows.sh --test
./scripts/fuzz.sh "${KOLVA_FUZZ_SECONDS:-60}"
