#!/usr/bin/env bash
# Runs bench_lit once at samples 1 (plain, lit without lights, sun with shadows, point light with
# shadows) and prints each lit case's rate as a fraction of the plain path's in the same run.
#   bench/lit_ratios.sh [build folder] [extra benchmark arguments]
set -euo pipefail
build="${1:-build}"
shift || true
"$build/bin/bench_lit" --benchmark_filter='cpu/samples:1/' --benchmark_format=json "$@" 2>/dev/null |
  /usr/bin/python3 -c '
import json, sys
rates = {b["name"].split("scene:")[1].split("/")[0]: b["samples/s"] for b in json.load(sys.stdin)["benchmarks"]}
names = {"0": "plain", "1": "lit, no lights", "2": "lit, sun with shadows", "3": "lit, point light with shadows"}
plain = rates["0"]
for k in sorted(rates):
    print(f"{names[k]:32s} {rates[k] / 1e6:8.2f} M samples/s  1/{plain / rates[k]:.1f} of plain")
'
