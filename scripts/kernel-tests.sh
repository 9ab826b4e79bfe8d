#!/usr/bin/env bash
# The tests that need a kernel sequencer, run inside the kernel MIDI VM:
#   scripts/kernel-midi-vm.sh scripts/kernel-tests.sh BUILD_DIR
# Every one of them must run there; a skip is a failure.
set -uo pipefail
build="${1:?usage: $0 BUILD_DIR}"
status=0
run() {
  echo "== $*"
  local out
  out="$("$@" 2>&1)"
  local rc=$?
  echo "$out" | grep -vE '^\s*$'
  if [ $rc -ne 0 ]; then
    status=1
  elif echo "$out" | grep -q '\[  SKIPPED \]'; then
    echo "kernel tests: a test skipped inside the VM" >&2
    status=1
  fi
}
run "$build/tests/midi_layer/midi_alsa_test" --gtest_filter='AlsaTest.*' --gtest_color=no
for t in "$build"/tests/kernel/kolva_kernel_*; do
  [ -f "$t" ] && [ -x "$t" ] && run "$t" --gtest_color=no
done
exit $status
