#!/usr/bin/env bash
# Installs what is missing, builds the debug and asan presets and runs every
# test with CTest. Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
"$root/scripts/setup.sh" --test

jobs=$(nproc)
passed=0
for preset in debug asan; do
  echo "=== $preset ==="
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j"$jobs"
  ctest --preset "$preset" -j"$jobs" | tee "build/$preset/ctest.log"
  count=$(sed -n 's/^100% tests passed, 0 tests failed out of \([0-9]*\)$/\1/p' "build/$preset/ctest.log")
  passed=$((passed + ${count:-0}))
done

echo "=== windows ==="
"$root/scripts/test-windows.sh"

if [[ -x "$root/scripts/fuzz.sh" ]]; then
  echo "=== fuzz ==="
  "$root/scripts/fuzz.sh"
fi

# Every step above stops the script on a failure, so reaching here means the
# CTest runs of both presets passed whole (the Windows and fuzz runs report
# their own counts above).
echo "slotsync: ${passed} passed, 0 failed"
