#!/usr/bin/env bash
# Installs the Debian packages slotsync needs. With --test, also those the
# tests need; with --deb, only those that build and check the Debian
# package. Safe to run again: it only installs what is missing. With
# --check it installs nothing: it names what is missing and fails.
set -euo pipefail

build_packages=(cmake make g++ pkg-config unixodbc unixodbc-dev odbcinst tdsodbc nlohmann-json3-dev
  gettext)
test_packages=(googletest libgtest-dev libbenchmark-dev libsqliteodbc clang libclang-rt-14-dev valgrind
  nodejs python3 python3-jsonschema locales)
# Debian's npm, unless the installed Node.js brings its own (NodeSource's
# does, and conflicts with Debian's).
command -v npm >/dev/null 2>&1 || test_packages+=(npm)
# The Debian package and its checks (the manual page's with man).
deb_packages=(dpkg-dev file lintian man-db)
# The Pascal unit's checks (Free Pascal; its sources build the Windows
# runtime for the Wine runs) and the release archive.
release_packages=(fp-compiler fp-units-rtl fpc-source zip unzip "${deb_packages[@]}")
# The Windows DLL and its tests (scripts/test-windows.sh): the mingw-w64
# cross compilers (the -posix ones: the others lack std::thread), Wine to run
# the test programs, Xvfb for their windows, and a font with Chinese glyphs.
windows_packages=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 xvfb xauth
  fonts-wqy-zenhei)
# 32-bit Wine, and the 32-bit unixODBC and FreeTDS that its odbc32 hands on
# to, for the tests of the 32-bit DLL; g++-multilib builds the 32-bit
# scripted ODBC driver its end-to-end scenarios talk to.
windows_i386_packages=(wine32:i386 libodbc2:i386 tdsodbc:i386 g++-multilib)

packages=("${build_packages[@]}")
if [[ "${1:-}" == "--deb" ]]; then
  packages+=("${deb_packages[@]}")
fi
if [[ "${1:-}" == "--test" ]]; then
  packages+=("${test_packages[@]}" "${release_packages[@]}" "${windows_packages[@]}"
    "${windows_i386_packages[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})) && [[ "${1:-}" == "--check" ]]; then
  echo "slotsync: missing packages: ${missing[*]}" >&2
  exit 1
fi
if ((${#missing[@]})); then
  echo "slotsync: installing ${missing[*]}" >&2
  as_root=()
  [[ $(id -u) -eq 0 ]] || as_root=(sudo)
  # Packages of another architecture need it enabled before the update, so
  # that the update fetches its package lists.
  for p in "${missing[@]}"; do
    if [[ "$p" == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
      "${as_root[@]}" dpkg --add-architecture i386
    fi
  done
  "${as_root[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The T-SQL grammar the plan's scripts are parsed with (tests/tsql), from the
# npm registry at the versions its lock file pins.
if [[ "${1:-}" == "--test" ]]; then
  tsql="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tests/tsql"
  if [[ ! -d "$tsql/node_modules/antlr4ts-sql" ]]; then
    npm ci --prefix "$tsql" --no-audit --no-fund
  fi
fi
