#!/usr/bin/env bash
# Times a PNG orbit sequence written by one thread (--jobs 1) and by N threads (default: one per core),
# each REPEATS times, and prints the ratio of the medians. Run it on a quiet machine: the writers share the
# cores with the renderer, so other load changes both figures.
#   bench/orbit_jobs.sh [build folder] [extra taluna-render options...]
# Environment: FRAMES (24), SIZE (1920x1080), COUNT (1000000), JOBS (cores), REPEATS (3).
set -euo pipefail
build="${1:-build}"
shift || true
tool="$build/bin/taluna-render"
[ -x "$tool" ] || { echo "orbit_jobs: no $tool; build the taluna-render target first" >&2; exit 1; }
frames="${FRAMES:-24}" size="${SIZE:-1920x1080}" count="${COUNT:-1000000}"
jobs="${JOBS:-$(nproc)}" repeats="${REPEATS:-3}"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

declare -A times
for ((r = 1; r <= repeats; ++r)); do
  for j in 1 "$jobs"; do
    rm -rf "$scratch/frames"
    load=$(cut -d' ' -f1 /proc/loadavg)
    start=$(date +%s.%N)
    "$tool" --quiet --count "$count" --size "$size" --orbit "$frames" -o "$scratch/frames/f_%04d.png" --jobs "$j" \
      "$@" >/dev/null
    t=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
    times[$j]+="$t "
    printf 'run %d, --jobs %s: %.2f s (load average before: %s)\n' "$r" "$j" "$t" "$load"
  done
done
one=$(echo "${times[1]}" | tr ' ' '\n' | grep . | median)
many=$(echo "${times[$jobs]}" | tr ' ' '\n' | grep . | median)
printf '%d frames of %s, %s particles: --jobs 1 %.2f s, --jobs %s %.2f s (medians of %d), ratio %.2f\n' \
  "$frames" "$size" "$count" "$one" "$jobs" "$many" "$repeats" "$(awk -v a="$one" -v b="$many" 'BEGIN { print b / a }')"
