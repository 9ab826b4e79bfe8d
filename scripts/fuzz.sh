#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (the code under test instrumented
# as well) and runs each from its seed corpus with its dictionary, then
# prints each target's coverage and executions.
#   scripts/fuzz.sh [SECONDS]     all targets share SECONDS (default 60)
#   scripts/fuzz.sh --runs N      each target runs N executions, no time limit
# KOLVA_FUZZ_TARGETS="fuzz_profile ..." picks the targets.
# The corpora grow in build-fuzz/corpus between runs.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
runs=-1
if [ "$seconds" = "--runs" ]; then
  runs="${2:?--runs needs a count}"
  seconds=0
elif [ "$seconds" -le 0 ]; then
  exit 0
fi
targets=(fuzz_firmware_parser fuzz_profile fuzz_settings fuzz_reply)
[ -n "${KOLVA_FUZZ_TARGETS:-}" ] && read -r -a targets <<<"$KOLVA_FUZZ_TARGETS"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKOLVA_TESTS=ON -DKOLVA_FUZZ=ON -DKOLVA_BENCH=OFF -DKOLVA_KERNEL_TESTS=OFF >/dev/null
cmake --build build-fuzz --target "${targets[@]}" -j"$(nproc)"

seeds=tests/fuzz/corpus
declare -A seed=([fuzz_firmware_parser]=firmware [fuzz_profile]=profile [fuzz_settings]=settings [fuzz_reply]=reply)
declare -A dict=([fuzz_firmware_parser]=firmware [fuzz_profile]=profile [fuzz_settings]=profile [fuzz_reply]=reply)
# The settings sequences work on a real file: short inputs keep them quick.
declare -A maxlen=([fuzz_firmware_parser]=4096 [fuzz_profile]=4096 [fuzz_settings]=512 [fuzz_reply]=4096)
# The example firmware files seed the parser as well.
mkdir -p build-fuzz/corpus/examples
cp examples/*.syx build-fuzz/corpus/examples/ 2>/dev/null || true

each=0
[ "$seconds" -gt 0 ] && each=$(( (seconds + ${#targets[@]} - 1) / ${#targets[@]} ))
failed=0
summary=()
for t in "${targets[@]}"; do
  work="build-fuzz/corpus/$t"
  log="build-fuzz/corpus/$t.log"
  mkdir -p "$work"
  extra=()
  [ "$t" = fuzz_firmware_parser ] && extra=(build-fuzz/corpus/examples)
  status=ok
  if ! build-fuzz/tests/fuzz/"$t" -max_total_time="$each" -runs="$runs" -max_len="${maxlen[$t]}" -print_final_stats=1 \
       -dict="tests/fuzz/${dict[$t]}.dict" -artifact_prefix="build-fuzz/corpus/$t-" \
       "$work" "$seeds/${seed[$t]}" "${extra[@]}" >"$log" 2>&1; then
    status=FAILED
    failed=1
    tail -40 "$log"
  fi
  last() { grep -oE "$1" "$log" | tail -1 | grep -oE '[0-9]+$' || true; }
  cov=$(last 'cov: [0-9]+')
  ft=$(last 'ft: [0-9]+')
  execs=$(last 'stat::number_of_executed_units: [0-9]+')
  secs=$(last 'Done [0-9]+ runs in [0-9]+')
  summary+=("$(printf '%-22s coverage %5s edges, %6s features, %10s executions in %5ss  %s' \
    "$t" "${cov:-?}" "${ft:-?}" "${execs:-?}" "${secs:-?}" "$status")")
done
printf '%s\n' "${summary[@]}"
[ "$failed" -eq 0 ] || { echo "fuzzing: failures above (inputs in build-fuzz/corpus/)"; exit 1; }
echo "fuzzing: no failures"
