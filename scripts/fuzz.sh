#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/) with clang-14 and libFuzzer under AddressSanitizer and UBSan in
# build-fuzz/, runs each for a bounded time, and merges the inputs that reach new code into
# fuzz/corpus/<target>/, which the test suite replays.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]   fuzz each TARGET (default: all) for SECONDS (default 60)
#   scripts/fuzz.sh --minimize [TARGET...]  shrink corpora to the inputs that reach code no other
#                                           does, keeping the seed-* and the regress-* inputs
#
# The repository keeps only inputs that reach new code (edges); the inputs a run finds by other
# measures (how often a loop turned, compared values) serve that run and are found again by the next.
#   FUZZ_JOBS=N   targets fuzzed at once (default 2)
#
# A finding leaves its input in build-fuzz/runs/<target>/ and makes the script fail. Once the fault is
# fixed, copy the input to fuzz/corpus/<target>/regress-<what-it-was> so the suite replays it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

all_targets=(render store image_writers ply_reader text_reader raw_reader)
[ -f "$root/fuzz/scene_fuzz.cpp" ] && all_targets+=(scene)
[ -f "$root/fuzz/viewer_requests_fuzz.cpp" ] && all_targets+=(viewer_requests)
minimize=0
seconds=60
if [ "${1:-}" = "--minimize" ]; then
  minimize=1
  shift
elif [[ "${1:-}" =~ ^[0-9]+$ ]]; then
  seconds="$1"
  shift
fi
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all_targets[@]}")
jobs_at_once="${FUZZ_JOBS:-2}"

build="$root/build-fuzz"
mkdir -p "$build"
if [ ! -f "$build/build.ninja" ]; then
  CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTALUNA_FUZZ=ON -DTALUNA_SANITIZE=ON -DTALUNA_TESTS=OFF -DTALUNA_BENCHMARKS=OFF -DTALUNA_CUDA=OFF \
    >"$build/configure.log" 2>&1 || { cat "$build/configure.log" >&2; exit 1; }
fi
ninja -C "$build" -j "$jobs" $(printf '%s_fuzzer ' "${targets[@]}")

# One thread per kernel: two fuzzers share the machine, and runs stay reproducible.
export OMP_NUM_THREADS=1
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
# Any single allocation above 256 MiB counts as unbounded: no input here needs one.
common_flags=(-rss_limit_mb=2048 -malloc_limit_mb=256 -timeout=30 -max_len=8192 -print_final_stats=1)

fuzz_one() {
  local t="$1" run="$build/runs/$1" corpus="$root/fuzz/corpus/$1"
  rm -rf "$run/new"
  mkdir -p "$run/new" "$run/findings"
  # New inputs go to the first folder; the corpus is only read, then merged below.
  if "$build/bin/${t}_fuzzer" "${common_flags[@]}" -max_total_time="$seconds" -artifact_prefix="$run/findings/" \
      "$run/new" "$corpus" >"$run/log" 2>&1; then
    "$build/bin/${t}_fuzzer" "${common_flags[@]}" -use_counters=0 -merge=1 "$corpus" "$run/new" \
      >"$run/merge.log" 2>&1
    echo "$t: $(grep -E '^stat::number_of_executed_units' "$run/log" | awk '{print $2}') runs in ${seconds}s," \
         "$(ls "$corpus" | wc -l) corpus inputs"
  else
    echo "$t: FINDING, see $run/log and $run/findings/" >&2
    return 1
  fi
}

minimize_one() {
  local t="$1" corpus="$root/fuzz/corpus/$1" fresh="$build/runs/$1/minimized"
  rm -rf "$fresh"
  mkdir -p "$fresh"
  # The first folder's inputs are all kept; the others' only where they add coverage.
  cp "$corpus"/seed-* "$corpus"/regress-* "$fresh"/ 2>/dev/null || true
  "$build/bin/${t}_fuzzer" "${common_flags[@]}" -use_counters=0 -merge=1 "$fresh" "$corpus" \
    >"$build/runs/$1/minimize.log" 2>&1
  rm -rf "$corpus"
  mv "$fresh" "$corpus"
  echo "$t: $(ls "$corpus" | wc -l) inputs after minimizing"
}

status=0
running=0
for t in "${targets[@]}"; do
  if [ "$minimize" -eq 1 ]; then
    minimize_one "$t"
    continue
  fi
  fuzz_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs_at_once" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
exit "$status"
