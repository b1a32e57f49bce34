#!/usr/bin/env bash
# Makes the release files in build/package:
#   slotsync-<version>-windows.zip   the DLL and slotsync.exe for x86-64 (x64/)
#                                    and x86 (x86/), with import libraries for
#                                    Microsoft's linker (slotsync.lib) and for
#                                    mingw (libslotsync.dll.a), the header, the
#                                    Pascal unit, the READMEs, LICENSE, the
#                                    JSON schema of --json and --log
#                                    (run.schema.json) and SHA256SUMS
#   slotsync_<version>_<arch>.deb    the Linux library, header, command, CMake
#                                    and pkg-config files, manual page, README
#                                    and the JSON schema of --json and --log
# Usage: scripts/package.sh [windows|deb]   (both when not told)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
what=${1:-all}
# A .deb needs the build and dpkg's tools, none of Wine, Free Pascal or Node.
if [[ "$what" == deb ]]; then
  "$root/scripts/setup.sh" --deb
else
  "$root/scripts/setup.sh" --test
fi

version=$(sed -n 's/^project(slotsync VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
out="$root/build/package"
mkdir -p "$out"
jobs=$(nproc)

# An import library from the module-definition file. On 32-bit x86 the
# functions are __stdcall: a host's compiler asks for "_RefreshStruct@16",
# while the DLL exports the plain name. The decorated names come from the
# DLL's own object file, so they follow the functions' arguments; dlltool -k
# lets the import library take the decorated names and import the plain ones.
import_libraries() {
  local preset=$1 triplet=$2 target=$3
  local def="$root/src/slotsync.def"
  if [[ "$triplet" == i686-* ]]; then
    def="$root/build/$preset/slotsync-decorated.def"
    local symbols name
    symbols=$("$triplet-nm" "$root/build/$preset/src/CMakeFiles/slotsync.dir/entry/exports.cpp.obj")
    {
      echo "LIBRARY slotsync.dll"
      echo "EXPORTS"
      for name in $(awk '/^EXPORTS/ {on=1; next} on && NF && $1 !~ /^;/ {print $1}' "$root/src/slotsync.def"); do
        grep -oE " T _$name@[0-9]+$" <<<"$symbols" | sed 's/^ T _/  /'
      done
    } >"$def"
  fi
  "$triplet-dlltool" -k -d "$def" -D slotsync.dll -l "$target/slotsync.lib"
  "$triplet-dlltool" -k -d "$def" -D slotsync.dll -l "$target/libslotsync.dll.a"
}

package_windows() {
  local name="slotsync-$version-windows"
  local stage="$out/$name"
  rm -rf "$stage" "$out/$name.zip"
  mkdir -p "$stage/include/slotsync" "$stage/pascal"
  local preset triplet folder
  for preset in win64 win32; do
    if [[ "$preset" == win64 ]]; then
      triplet=x86_64-w64-mingw32 folder=x64
    else
      triplet=i686-w64-mingw32 folder=x86
    fi
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$jobs" --target slotsync slotsync_cmd
    mkdir -p "$stage/$folder"
    cp "build/$preset/bin/slotsync.dll" "build/$preset/bin/slotsync.exe" "$stage/$folder/"
    "$triplet-strip" --strip-unneeded "$stage/$folder/slotsync.dll" "$stage/$folder/slotsync.exe"
    import_libraries "$preset" "$triplet" "$stage/$folder"
  done
  cp include/slotsync/slotsync.h "$stage/include/slotsync/"
  cp bindings/pascal/slotsync.pas bindings/pascal/example.pas "$stage/pascal/"
  cp README.md README.zh_CN.md LICENSE share/slotsync/run.schema.json "$stage/"
  (cd "$stage" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort |
    xargs sha256sum >SHA256SUMS)
  (cd "$out" && TZ=UTC find "$name" -exec touch -d "@${SOURCE_DATE_EPOCH:-0}" {} + &&
    find "$name" -type f | LC_ALL=C sort | TZ=UTC zip -X -q "$name.zip" -@)
  echo "$out/$name.zip"
}

package_deb() {
  # Under /usr the library goes to Debian's multiarch folder.
  cmake --preset release -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
  cmake --build --preset release -j"$jobs"
  (cd build/release && cpack -G DEB -B "$out" >/dev/null)
  rm -rf "$out/_CPack_Packages"
  # CPack has postinst and postrm call ldconfig for a library under /usr/lib;
  # the package's ldconfig trigger (cmake/install.cmake) does that already,
  # and Debian wants the trigger alone (lintian's maintscript-calls-ldconfig).
  # The package is built again from its own files without the two scripts.
  local deb tree
  deb=$(ls "$out"/slotsync_"$version"_*.deb)
  tree=$(mktemp -d)
  dpkg-deb -R "$deb" "$tree"
  rm -f "$tree/DEBIAN/postinst" "$tree/DEBIAN/postrm"
  dpkg-deb --root-owner-group --build "$tree" "$deb" >/dev/null
  rm -rf "$tree"
  echo "$deb"
}

case "$what" in
  windows) package_windows ;;
  deb) package_deb ;;
  all)
    package_windows
    package_deb
    ;;
  *)
    echo "usage: scripts/package.sh [windows|deb]" >&2
    exit 64
    ;;
esac
