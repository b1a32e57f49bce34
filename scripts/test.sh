#!/usr/bin/env bash
# Installs what is missing, builds the debug and asan presets and runs every
# test with CTest. Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
"$root/scripts/setup.sh" --test

# The tests compare English messages, whatever the machine's locale.
export SLOTSYNC_LANG=en
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

# The Debian package (scripts/package.sh deb): its files, its relations and
# lintian's verdict: no error and no warning. The two warnings that only a
# split into library, -dev and command packages would answer are overridden
# in the package, with the reason.
echo "=== debian package ==="
deb=$("$root/scripts/package.sh" deb | tail -1)
files=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | LC_ALL=C sort | tr '\n' ' ')
lib=./usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
version=$(dpkg-deb -f "$deb" Version)
expected="./usr/bin/slotsync ./usr/include/slotsync/slotsync.h \
$lib/cmake/slotsync/slotsyncConfig.cmake $lib/cmake/slotsync/slotsyncConfigVersion.cmake \
$lib/cmake/slotsync/slotsyncTargets-release.cmake $lib/cmake/slotsync/slotsyncTargets.cmake \
$lib/libslotsync.so $lib/libslotsync.so.${version%%.*} $lib/libslotsync.so.$version $lib/pkgconfig/slotsync.pc \
./usr/share/doc/slotsync/README.md.gz ./usr/share/doc/slotsync/README.zh_CN.md.gz \
./usr/share/doc/slotsync/changelog.gz \
./usr/share/doc/slotsync/copyright ./usr/share/lintian/overrides/slotsync ./usr/share/man/man1/slotsync.1.gz \
./usr/share/man/zh_CN/man1/slotsync.1.gz \
./usr/share/slotsync/run.schema.json "
if [[ "$files" != "$expected" ]]; then
  echo "FAILED: $deb holds: $files; expected: $expected" >&2
  exit 1
fi
[[ "$(dpkg-deb -f "$deb" Depends)" == unixodbc,* ]] || { echo "FAILED: $deb Depends" >&2; exit 1; }
[[ "$(dpkg-deb -f "$deb" Recommends)" == tdsodbc ]] || { echo "FAILED: $deb Recommends" >&2; exit 1; }
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$deb" 2> >(grep -v "running with root privileges" >&2)
fi
echo "$deb: contents, relations and lintian checked"
# glibc's checked calls (_FORTIFY_SOURCE) exist only in optimised builds, so
# they are looked for in the release build the package was made from.
for binary in build/release/cli/slotsync build/release/src/libslotsync.so."$version"; do
  checked=$(readelf -sW --dyn-syms "$binary" | grep -oE '__[a-z0-9_]+_chk\b' | grep -v __stack_chk |
    sort -u | tr '\n' ' ')
  [[ -n "$checked" ]] || { echo "FAILED: $binary calls none of glibc's checked functions" >&2; exit 1; }
  echo "$binary: fortified calls: $checked"
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
