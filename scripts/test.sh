#!/usr/bin/env bash
# Installs what is missing, builds the debug and asan presets and runs every
# test with CTest. Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
"$root/scripts/setup.sh" --test

jobs=$(nproc)
for preset in debug asan; do
  echo "=== $preset ==="
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j"$jobs"
  ctest --preset "$preset" -j"$jobs"
done

echo "=== windows ==="
"$root/scripts/test-windows.sh"

if [[ -x "$root/scripts/fuzz.sh" ]]; then
  echo "=== fuzz ==="
  "$root/scripts/fuzz.sh"
fi
