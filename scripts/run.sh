#!/usr/bin/env bash
# Builds the release preset when needed and runs the slotsync command.
# Quiet when the build is up to date: what the command prints is all that is
# printed. Missing Debian packages are named, never installed, unless
# SLOTSYNC_INSTALL=1 asks for it (scripts/setup.sh, which uses sudo when not
# run as root).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [[ "${SLOTSYNC_INSTALL:-}" == 1 ]]; then
  "$root/scripts/setup.sh" >&2
elif ! "$root/scripts/setup.sh" --check; then
  echo "slotsync: install them with scripts/setup.sh, or run again with SLOTSYNC_INSTALL=1" >&2
  exit 1
fi
cd "$root"
# The build's own lines only when it fails.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { [[ -f build/release/CMakeCache.txt ]] || cmake --preset release; } >"$log" 2>&1 ||
  ! cmake --build --preset release -j"$(nproc)" >>"$log" 2>&1; then
  cat "$log" >&2
  echo "slotsync: the build failed; see above" >&2
  exit 1
fi
rm -f "$log"
trap - EXIT
exec "$root/build/release/cli/slotsync" "$@"
