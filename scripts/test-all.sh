#!/usr/bin/env bash
# Builds every preset and runs every test: host tests (plain and sanitized), a short fuzz run,
# the Windows cross build and the end-to-end tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)
for preset in host host-asan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
  # The sweeps' own summary lines.
  grep -h '^fault sweep:\|^kill sweep:' "build/$preset/Testing/Temporary/LastTest.log"
done

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
for f in build/fuzz/fuzz/*_fuzzer; do
  [ -x "$f" ] || continue
  echo "fuzzing $(basename "$f") for 20 s"
  "$f" -max_total_time=20 -print_final_stats=0 2>&1 | tail -n 3
done

# The Windows builds (installer, stand-ins, Wine helpers), the package and the Wine end-to-end
# tests; it prints its own closing line.
QGR_JOBS=$jobs bash scripts/wine-tests.sh
