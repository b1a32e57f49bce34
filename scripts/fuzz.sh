#!/usr/bin/env bash
# Builds the libFuzzer targets with the "fuzz" preset and runs each one for a
# bounded time on a copy of its committed seed corpus (so the run never
# writes into the source tree). Exits non-zero on a crash, a sanitizer report
# or a broken invariant; the input that caused it is kept under
# <build dir>/artifacts/<target>/.
#
# Needs clang and libclang-rt-14-dev; it installs nothing (scripts/setup.sh
# --test does).
#
#   FUZZ_SECONDS    seconds per target (default 30)
#   FUZZ_BUILD_DIR  build directory (default: the preset's build/fuzz)
#   FUZZ_JOBS       parallel build jobs (default: the number of cores)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${FUZZ_SECONDS:-30}
build_dir=${FUZZ_BUILD_DIR:-$root/build/fuzz}
jobs=${FUZZ_JOBS:-$(nproc)}
targets=(field_lists_fuzz dictionary_guard_fuzz quoting_fuzz)

if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "fuzz.sh: FUZZ_SECONDS must be a positive whole number, not '$seconds'" >&2
  exit 2
fi
for tool in clang clang++ cmake; do
  if ! command -v "$tool" >/dev/null; then
    echo "fuzz.sh: $tool is missing (scripts/setup.sh --test installs it)" >&2
    exit 2
  fi
done

cd "$root"
cmake --preset fuzz -B "$build_dir" >/dev/null
cmake --build "$build_dir" -j"$jobs" --target "${targets[@]}"

# Leaks count as failures; UBSan findings abort like ASan ones.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=()
for target in "${targets[@]}"; do
  corpus="$work/corpus/$target"
  artifacts="$build_dir/artifacts/$target"
  log="$build_dir/artifacts/$target.log"
  mkdir -p "$corpus" "$artifacts"
  cp "$root/tests/fuzz/corpus/$target/"* "$corpus/"

  echo "=== $target: ${seconds}s ==="
  if "$build_dir/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" \
    >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$target: ok, ${runs:-?} executions, $(find "$corpus" -type f | wc -l) corpus entries"
  else
    echo "$target: FAILED; the end of $log:" >&2
    tail -n 60 "$log" >&2
    failed+=("$target")
  fi
done

if ((${#failed[@]})); then
  echo "fuzz.sh: failed: ${failed[*]}" >&2
  exit 1
fi
