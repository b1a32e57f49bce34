#!/usr/bin/env bash
# Builds the release preset when needed and runs the slotsync command.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh" >&2
cd "$root"
if [[ ! -f build/release/CMakeCache.txt ]]; then
  cmake --preset release >&2
fi
cmake --build --preset release -j"$(nproc)" >&2
exec "$root/build/release/cli/slotsync" "$@"
