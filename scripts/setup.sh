#!/usr/bin/env bash
# Installs the Debian packages slotsync needs. With --test, also those the
# tests need. Safe to run again: it only installs what is missing.
set -euo pipefail

build_packages=(cmake make g++ pkg-config unixodbc unixodbc-dev odbcinst tdsodbc)
test_packages=(googletest libgtest-dev libbenchmark-dev libsqliteodbc clang libclang-rt-14-dev valgrind)

packages=("${build_packages[@]}")
if [[ "${1:-}" == "--test" ]]; then
  packages+=("${test_packages[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "slotsync: installing ${missing[*]}" >&2
  as_root=()
  [[ $(id -u) -eq 0 ]] || as_root=(sudo)
  "${as_root[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
