#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (seconds, default 60), seeded with the example firmware files.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
[ "$seconds" -gt 0 ] || exit 0
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKOLVA_TESTS=ON -DKOLVA_FUZZ=ON -DKOLVA_BENCH=OFF >/dev/null
cmake --build build-fuzz --target fuzz_firmware_parser fuzz_profile fuzz_reply -j"$(nproc)"
corpus="$(mktemp -d)"
trap 'rm -rf "$corpus"' EXIT
mkdir -p "$corpus/firmware" "$corpus/profile" "$corpus/reply"
cp examples/*.syx "$corpus/firmware/" 2>/dev/null || true
printf '[INI_VERSION]\r\nVERSION=1\r\n[START_POS]\r\nX=100\r\nY=100\r\n' > "$corpus/profile/seed.ini"
third=$(( (seconds + 2) / 3 ))
build-fuzz/tests/fuzz/fuzz_firmware_parser -max_total_time="$third" -max_len=4096 "$corpus/firmware" 2>&1 | tail -3
build-fuzz/tests/fuzz/fuzz_profile -max_total_time="$third" -max_len=4096 "$corpus/profile" 2>&1 | tail -3
printf '\x10\xF0\x7E\x00\x06\x02\x00\x7D\x4B\x01\x00\x02\x00\x30\x32\x30\x36\xF7' > "$corpus/reply/identity"
build-fuzz/tests/fuzz/fuzz_reply -max_total_time="$third" -max_len=4096 "$corpus/reply" 2>&1 | tail -3
echo "fuzzing: no failures in ${seconds}s"
