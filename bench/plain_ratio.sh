#!/usr/bin/env bash
# The plain path against its two baselines, measured in one run on the 4,000,000-particle galaxy at
# 1920 x 1080: numpy's projection + per-channel bincount (bench/plain_numpy.py, Debian's Python), the
# OpenMP atomic loop (bench_render's atomicLoop) and taluna's CPU library with samples 1 and jitter 3.
# The three are interleaved, round after round, so that a change in the machine's load hits them alike;
# the medians and their ratios come last, then a process's first frame against its warm ones.
#
# Usage: bash bench/plain_ratio.sh [build folder (default build, configured already)] [rounds (default 3)]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
rounds="${2:-3}"
python=/usr/bin/python3  # Debian's interpreter: the one with numpy

cmake --build "$build" --target bench_render first_frame >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

for ((r = 1; r <= rounds; ++r)); do
  "$python" "$root/bench/plain_numpy.py" 4000000 1 | awk '/numpy_median/ {print $2}' >>"$work/numpy"
  "$build/bin/bench_render" --benchmark_filter='atomicLoop|render/cpu/samples:1/jitter:(0|3)/' \
    --benchmark_format=json --benchmark_out="$work/round$r.json" >/dev/null 2>&1
  echo "round $r of $rounds done" >&2
done

"$python" - "$work" "$rounds" <<'EOF'
import json, statistics, sys
work, rounds = sys.argv[1], int(sys.argv[2])
rates = {"numpy bincount": [float(x) for x in open(f"{work}/numpy").read().split()]}
names = {"atomicLoop/real_time": "OpenMP atomic loop",
         "render/cpu/samples:1/jitter:0/real_time": "taluna plain, samples 1",
         "render/cpu/samples:1/jitter:3/real_time": "taluna plain, jitter 3"}
for r in range(1, rounds + 1):
    for b in json.load(open(f"{work}/round{r}.json"))["benchmarks"]:
        if b["name"] in names:
            rates.setdefault(names[b["name"]], []).append(b["samples/s"])
median = {k: statistics.median(v) for k, v in rates.items()}
for k, v in rates.items():
    print(f"{k:26s} {median[k] / 1e6:8.1f} M samples/s   (rounds: {', '.join(f'{x / 1e6:.1f}' for x in v)})")
numpy = median["numpy bincount"]
for k in names.values():
    if k in median:
        print(f"{k:26s} {median[k] / numpy:8.2f} x numpy bincount")
s1, j3 = median.get("taluna plain, samples 1"), median.get("taluna plain, jitter 3")
if s1 and j3:
    print(f"{'jitter 3 / samples 1':26s} {j3 / s1:8.2f} (samples/s)")
EOF
"$build/bin/first_frame" 6
