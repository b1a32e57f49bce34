#!/usr/bin/env bash
# Cross-builds the Windows DLL for x86-64 and 32-bit x86 (presets win64 and
# win32), checks what the DLLs export and import, and runs the Windows test
# programs under Wine in a fresh Wine prefix, headless inside one Xvfb
# session. The progress window's screenshot lands in
# build/win64/progress-window.png (and build/win32/progress-window.png).
# Then the end-to-end scenarios of the DLL and of slotsync.exe
# (tests/e2e/wine_e2e.cpp): a Linux program, built in build/debug (or the
# folder SLOTSYNC_LINUX_BUILD names), runs tests/win32/wine_e2e_host.c and
# slotsync.exe under Wine against the native scripted ODBC driver, which
# Wine's odbc32 reaches through unixODBC.
# Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# Inside the Xvfb session (the script runs itself there): create the prefix,
# then run the tests of each preset with CTest.
if [[ "${1:-}" == "--inside-display" ]]; then
  shift
  # One Wine server for the whole session, kept up between the programs, so
  # that each does not pay for starting Wine's own services again. It must
  # be up before anything else of Wine starts one of its own.
  mkdir -p "$WINEPREFIX"
  wineserver --persistent
  # One prefix for the whole run: creating it takes 10 to 15 seconds. In a
  # prefix that is still empty Wine's services complain that system32 is
  # missing until wineboot has made it; that is expected.
  wineboot --init 2> >(grep -v "could not open working directory" >&2)
  # Unmanaged windows: without a window manager, a dismissed message box
  # would otherwise linger for about two seconds.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
  status=0
  for preset in "$@"; do
    echo "=== Windows tests, $preset ==="
    # One at a time: the tests look for their windows on a shared desktop.
    ctest --test-dir "build/$preset" -V -j1 >"build/$preset/windows-tests.log" 2>&1 || status=1
    grep -E "^ *[0-9]+/[0-9]+ Test|tests passed|tests failed" "build/$preset/windows-tests.log" || true
    driver_variable="wine_e2e_driver_$preset"
    if [[ -n "${!driver_variable:-}" ]]; then
      echo "=== Windows DLL end-to-end scenarios, $preset ==="
      SLOTSYNC_WINE=$(command -v wine) SLOTSYNC_WINE_HOST="$root/build/$preset/bin/wine_e2e_host.exe" \
        SLOTSYNC_WINE_COMMAND="$root/build/$preset/bin/slotsync.exe" \
        SLOTSYNC_WINE_PASCAL="$(ls "$root/build/$preset/bin/pascal_example.exe" 2>/dev/null || true)" \
        SLOTSYNC_WINE_DRIVER="${!driver_variable}" "$wine_e2e_runner" \
        >"build/$preset/wine-e2e.log" 2>&1 || status=1
      grep -E "^\[ +(OK|FAILED|PASSED) +\]" "build/$preset/wine-e2e.log" || true
      echo "=== host linked against the release archive's libslotsync.dll.a, $preset ==="
      linked_variable="linked_host_$preset"
      SLOTSYNC_WINE=$(command -v wine) SLOTSYNC_WINE_HOST="${!linked_variable}" \
        SLOTSYNC_WINE_DRIVER="${!driver_variable}" "$wine_e2e_runner" \
        --gtest_filter='*WindowsDll.AnInStep*:*WindowsDll.FlaggedDetail*' \
        >"build/$preset/wine-linked.log" 2>&1 || status=1
      grep -E "^\[ +(OK|FAILED|PASSED) +\]" "build/$preset/wine-linked.log" || true
    fi
  done
  # End Wine's own processes while the display is still there.
  wineserver --kill || true
  wineserver --wait || true
  exit "$status"
fi

started=$(date +%s)
"$root/scripts/setup.sh" --test

presets=(win64 win32)
jobs=$(nproc)
for preset in "${presets[@]}"; do
  echo "=== $preset ==="
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j"$jobs"
done

# What a host program sees of the DLL: exactly these names, undecorated also
# on 32-bit x86, and only system DLLs to import (the C and C++ runtimes of
# mingw and winpthread are linked in). slotsync.exe exports nothing and
# imports system DLLs only too. odbc32.dll and comctl32.dll must not be
# imported at all: the loader would look for them in the host's folder
# first; the library loads them from the system folder itself.
dll_exports="RefreshStruct RefreshStructCancel RefreshStructEx RefreshStructLastError SlotsyncVersion"
system_dlls=" advapi32.dll gdi32.dll kernel32.dll msvcrt.dll shell32.dll user32.dll version.dll "
loaded_from_system=" comctl32.dll odbc32.dll "
check_dll() {
  local objdump=$1 dll=$2 expected_exports=${3-$dll_exports}
  local dump exports imports name bad=0
  dump=$("$objdump" -p "$dll")
  exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^\t\[/ {print $NF; next} on {exit}' \
    <<<"$dump" | sort | tr '\n' ' ' | sed 's/ $//')
  imports=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$dump" | sort -u)
  echo "$dll exports: $exports"
  echo "$dll imports: $(tr '\n' ' ' <<<"$imports")"
  if [[ "$exports" != "$expected_exports" ]]; then
    echo "FAILED: $dll should export exactly: $expected_exports" >&2
    bad=1
  fi
  # Stack canaries: libssp's check, linked in, brings its message along.
  # (Control-flow guard and a load configuration: the toolchain has none,
  # see CMakeLists.txt.)
  if ! grep -q "stack smashing detected" "$dll"; then
    echo "FAILED: $dll has no stack protector (-fstack-protector-strong with libssp)" >&2
    bad=1
  fi
  for name in $imports; do
    if [[ "$loaded_from_system" == *" $name "* ]]; then
      echo "FAILED: $dll imports $name, which must be loaded from the system folder only" >&2
      bad=1
    elif [[ "$system_dlls" != *" $name "* ]]; then
      echo "FAILED: $dll imports $name, which is not a system DLL" >&2
      bad=1
    fi
  done
  return "$bad"
}
check_dll x86_64-w64-mingw32-objdump build/win64/bin/slotsync.dll
check_dll i686-w64-mingw32-objdump build/win32/bin/slotsync.dll
check_dll x86_64-w64-mingw32-objdump build/win64/bin/slotsync.exe ""
check_dll i686-w64-mingw32-objdump build/win32/bin/slotsync.exe ""

# The Pascal unit's example for Windows. Debian's Free Pascal targets Windows
# on x86-64 with its own assembler and linker; it lacks only the runtime
# units, and the few the example needs build from fpc-source in a second.
# For x86 the same sources first give the cross compiler (a few seconds).
fpc_version=$(fpc -iV)
fpc_source=/usr/share/fpcsrc/$fpc_version
fpc_build="$root/build/fpc"
if [[ -d "$fpc_source/rtl/win64" ]]; then
  echo "=== Free Pascal for Windows, from $fpc_source ==="
  rm -rf "$fpc_build"
  mkdir -p "$fpc_build/ppcross386" "$fpc_build/units-win64" "$fpc_build/units-win32"
  (cd "$fpc_build/ppcross386" &&
    ppcx64 -FE. "$fpc_source/compiler/utils/msg2inc.pp" >/dev/null &&
    ./msg2inc "/usr/lib/x86_64-linux-gnu/fpc/$fpc_version/msg/errore.msg" msg msg >/dev/null &&
    cd "$fpc_source/compiler" &&
    ppcx64 -di386 -Fui386 -Fusystems -Fux86 -Fii386 -Fix86 -Fu. -Fi. -Fi"$fpc_build/ppcross386" \
      -FU"$fpc_build/ppcross386" -o"$fpc_build/ppcross386/ppcross386" pp.pas >"$fpc_build/ppcross386.log")
  for target in win64 win32; do
    if [[ "$target" == win64 ]]; then
      compiler=ppcx64 cpu=x86_64 init=sysinit
    else
      compiler="$fpc_build/ppcross386/ppcross386" cpu=i386 init=sysinitpas
    fi
    units="$fpc_build/units-$target"
    flags=(-n -T"$target" -Sg -FE"$units" -Fu"$units" -Fi../inc -Fi../"$cpu" -Fi../win -Fi../objpas)
    (cd "$fpc_source/rtl/$target" &&
      "$compiler" "${flags[@]}" -Us system.pp &&
      for unit in "$init.pp" ../objpas/objpas.pp ../inc/fpintres.pp; do
        "$compiler" "${flags[@]}" "$unit" || exit
      done) >"$fpc_build/rtl-$target.log"
    preset=$([[ "$target" == win64 ]] && echo win64 || echo win32)
    mkdir -p "$fpc_build/example-$target"
    "$compiler" -n -T"$target" -B -Sew -Fu"$units" -Fu"$root/bindings/pascal" \
      -FU"$fpc_build/example-$target" -o"$root/build/$preset/bin/pascal_example.exe" \
      "$root/bindings/pascal/example.pas" >"$fpc_build/example-$target.log"
    echo "build/$preset/bin/pascal_example.exe"
  done
else
  echo "slotsync: no $fpc_source/rtl/win64 (fpc-source): the Pascal example is not run under Wine" >&2
fi

# The release archive: its files, their checksums, what its DLLs and
# programs export and import, the symbols of both import libraries, and a C
# host linked against libslotsync.dll.a (run under Wine below).
echo "=== release archive ==="
archive=$("$root/scripts/package.sh" windows | tail -1)
unpacked="$root/build/package/unpacked"
rm -rf "$unpacked"
mkdir -p "$unpacked"
unzip -q "$archive" -d "$unpacked"
top=$(basename "$archive" .zip)
listed=$(unzip -Z1 "$archive" | sed "s|^$top/||" | LC_ALL=C sort | tr '\n' ' ')
expected_files="LICENSE README.md README.zh_CN.md SHA256SUMS include/slotsync/slotsync.h pascal/example.pas pascal/slotsync.pas run.schema.json \
x64/libslotsync.dll.a x64/slotsync.dll x64/slotsync.exe x64/slotsync.lib \
x86/libslotsync.dll.a x86/slotsync.dll x86/slotsync.exe x86/slotsync.lib "
if [[ "$listed" != "$expected_files" ]]; then
  echo "FAILED: $archive holds: $listed; expected: $expected_files" >&2
  exit 1
fi
(cd "$unpacked/$top" && sha256sum --quiet -c SHA256SUMS)
for folder in x64 x86; do
  if [[ "$folder" == x64 ]]; then
    triplet=x86_64-w64-mingw32 preset=win64
    symbols="__imp_RefreshStruct __imp_RefreshStructCancel __imp_RefreshStructEx __imp_RefreshStructLastError __imp_SlotsyncVersion"
  else
    triplet=i686-w64-mingw32 preset=win32
    symbols="__imp__RefreshStruct@16 __imp__RefreshStructCancel@0 __imp__RefreshStructEx@24 __imp__RefreshStructLastError@0 __imp__SlotsyncVersion@0"
  fi
  check_dll "$triplet-objdump" "$unpacked/$top/$folder/slotsync.dll"
  check_dll "$triplet-objdump" "$unpacked/$top/$folder/slotsync.exe" ""
  for library in slotsync.lib libslotsync.dll.a; do
    found=$("$triplet-nm" "$unpacked/$top/$folder/$library" | awk '$2 == "I" && $3 ~ /^__imp_/ {print $3}' |
      LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')
    echo "$folder/$library: $found"
    if [[ "$found" != "$symbols" ]]; then
      echo "FAILED: $folder/$library should hold exactly: $symbols" >&2
      exit 1
    fi
  done
  "$triplet-gcc" -Wall -Wextra -Werror -O1 -DSLOTSYNC_LINKED -I"$unpacked/$top/include" -Itests/host \
    tests/win32/wine_e2e_host.c "$unpacked/$top/$folder/libslotsync.dll.a" \
    -o "$unpacked/$top/$folder/linked_host.exe"
  export "linked_host_$preset=$unpacked/$top/$folder/linked_host.exe"
done

# The Linux side of the DLL's end-to-end scenarios, and the scripted driver
# for each DLL: Wine hands a program's ODBC calls to the unixODBC of its own
# bitness, so the 32-bit DLL needs a 32-bit driver, which needs g++ -m32.
linux_build=$(realpath -m "${SLOTSYNC_LINUX_BUILD:-build/debug}")
echo "=== Linux side of the Wine scenarios, $linux_build ==="
if [[ "$linux_build" == "$root/build/debug" ]]; then
  cmake --preset debug
elif [[ ! -f "$linux_build/CMakeCache.txt" ]]; then
  cmake -S "$root" -B "$linux_build" -DCMAKE_BUILD_TYPE=Debug -DSLOTSYNC_BUILD_BENCHMARKS=OFF
fi
linux_targets=(wine_e2e_tests scripted_odbc)
m32_probe=$(mktemp)
if g++ -m32 -x c++ -o "$m32_probe" - 2>/dev/null <<<"#include <string>
int main() { return static_cast<int>(std::string(\"x\").size()) - 1; }"; then
  linux_targets+=(scripted_odbc_i386)
fi
rm -f "$m32_probe"
cmake --build "$linux_build" -j"$jobs" --target "${linux_targets[@]}"
export wine_e2e_runner="$linux_build/tests/e2e/wine_e2e_tests"
export wine_e2e_driver_win64="$linux_build/tests/odbc_driver/libscripted_odbc.so"

# 32-bit programs need 32-bit Wine; without it Wine prints "wine32 is
# missing" and exits 0, so it is looked for rather than trusted to fail.
run_presets=(win64)
if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  run_presets+=(win32)
else
  echo "slotsync: wine32:i386 is not installed: the 32-bit DLL is built and checked, not tested" >&2
fi
e2e_presets=(win64)
if [[ " ${run_presets[*]} " == *" win32 "* ]]; then
  if [[ " ${linux_targets[*]} " == *" scripted_odbc_i386 "* ]]; then
    e2e_presets+=(win32)
    export wine_e2e_driver_win32="$linux_build/tests/e2e/libscripted_odbc_i386.so"
  else
    echo "slotsync: g++ -m32 cannot build (g++-multilib is missing): without a 32-bit scripted" \
      "driver the 32-bit DLL's end-to-end scenarios are not run" >&2
  fi
fi

export WINEPREFIX="$root/build/wine-prefix"
rm -rf "$WINEPREFIX"
export WINEDEBUG=-all
# No Mono and no Gecko: nothing here needs them, and their installers would
# ask.
export WINEDLLOVERRIDES="mscoree,mshtml="
for preset in "${run_presets[@]}"; do
  rm -f "build/$preset/progress-window.png" "build/$preset/windows-tests.log" \
    "build/$preset/wine-e2e.log" "build/$preset/wine-linked.log"
done

status=0
xvfb-run -a -s "-screen 0 1024x768x24" "$root/scripts/test-windows.sh" --inside-display "${run_presets[@]}" || status=1

# Every program must have said that all of its checks passed: an exit code
# alone proves nothing under Wine.
for preset in "${run_presets[@]}"; do
  log="build/$preset/windows-tests.log"
  for name in host_refresh_test progress_window_test progress_window_sender notice_box_test \
    codepage_test; do
    if ! grep -q "^[0-9]*: *$name: all [0-9]* checks passed" "$log"; then
      echo "FAILED: $preset $name did not pass (see $log)" >&2
      status=1
    fi
  done
  png="build/$preset/progress-window.png"
  if [[ "$(head -c 8 "$png" 2>/dev/null | od -An -tx1 | tr -d ' \n')" != "89504e470d0a1a0a" ]]; then
    echo "FAILED: no screenshot $png" >&2
    status=1
  else
    echo "screenshot: $png"
  fi
  if ((status != 0)); then
    echo "--- $log ---" >&2
    cat "$log" >&2
  fi
done

# The scenarios are GoogleTest cases: at least one must have run, and none
# failed.
for preset in "${e2e_presets[@]}"; do
  for log in "build/$preset/wine-e2e.log" "build/$preset/wine-linked.log"; do
    if ! grep -qE "^\[  PASSED  \] [1-9][0-9]* tests?\.$" "$log" || grep -q "^\[  FAILED  \]" "$log"; then
      echo "FAILED: $preset end-to-end scenarios under Wine (see $log)" >&2
      echo "--- $log ---" >&2
      cat "$log" >&2
      status=1
    fi
  done
done

echo "Windows build and tests: $(($(date +%s) - started)) s"
if ((status != 0)); then
  echo "Windows tests FAILED" >&2
fi
exit "$status"
