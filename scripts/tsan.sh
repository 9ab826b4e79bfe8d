#!/usr/bin/env bash
# Builds and runs the threaded parts of the test suite (MIDI layer, ports,
# device messages and upload) under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKOLVA_TSAN=ON -DKOLVA_BENCH=OFF
cmake --build build-tsan -j"$(nproc)" --target midi_layer_test kolva_midi_tests kolva_connection_tests kolva_wizard_tests
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp"
export QT_QPA_PLATFORM=offscreen
build-tsan/tests/midi_layer/midi_layer_test
build-tsan/tests/midi/kolva_midi_tests
build-tsan/tests/upload/kolva_connection_tests
build-tsan/tests/setup/kolva_wizard_tests
# The system driver against a real kernel sequencer, in the kernel MIDI VM.
cmake --build build-tsan -j"$(nproc)" --target midi_alsa_test
rc=0
scripts/kernel-midi-vm.sh build-tsan/tests/midi_layer/midi_alsa_test --gtest_filter='AlsaTest.*' || rc=$?
[ $rc -eq 0 ] || [ $rc -eq 77 ] || exit $rc
