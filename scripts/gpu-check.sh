#!/usr/bin/env bash
# The check of libtaluna.so on a machine with an NVIDIA GPU, in one call of about 7 minutes (H100), with
# no network: third_party/ from scripts/gpu-prepare.sh must come along. Needs CMake, nvcc and g++ only
# (Ninja when present, else make).
#   1. the GPU, driver and nvcc versions; a one-thread kernel (scripts/gpu_probe.cu) must run, or the
#      check stops at once with the reason
#   2. both libraries, the interface tests and taluna-render, built for the local GPU only
#   3. the interface tests on both libraries: a failed or a skipped CUDA test fails the check
#   4. the largest GPU/CPU differences of the parity frames, plain and lit
#   5. taluna-render --bench timings on the GPU, and a few of them on the CPU library for the ratio
# The last line is "gpu-check: PASS" or "gpu-check: FAIL (reason)"; the exit status is 0 only on PASS.
#   ARCH=90 bash scripts/gpu-check.sh      compute capability without the dot (default: detected)
#   ARCH=90 bash scripts/gpu-check.sh --build-only
#                                          configure and build as above, run nothing (no GPU needed)
#   GPU_CHECK_CMAKE_OPTIONS="-D..."         more CMake options for the build
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build_only=0
case "${1:-}" in
  "") ;;
  --build-only) build_only=1 ;;
  *) echo "usage: [ARCH=NN] scripts/gpu-check.sh [--build-only]" >&2; exit 2 ;;
esac
dir="$root/build-gpu"
start=$SECONDS
fail() {
  echo "gpu-check: FAIL ($*)"
  exit 1
}
step() { printf '\n== %s (at %d s)\n' "$*" $((SECONDS - start)); }

arch="${ARCH:-}"
if [ "$build_only" -eq 0 ]; then
  step "machine"
  if command -v nvidia-smi >/dev/null; then
    nvidia-smi --query-gpu=name,driver_version,compute_cap,memory.total --format=csv,noheader ||
      echo "nvidia-smi: failed"
    [ -n "$arch" ] || arch="$(nvidia-smi --query-gpu=compute_cap --format=csv,noheader 2>/dev/null | head -1 | tr -d ' .')"
  else
    echo "nvidia-smi: not found"
  fi
fi
command -v nvcc >/dev/null || fail "nvcc not found"
nvcc --version | grep -i release
cmake --version | head -1
[[ "$arch" =~ ^[0-9]+$ ]] || arch=""
[ "$build_only" -eq 0 ] || [ -n "$arch" ] || fail "--build-only needs ARCH"
rm -rf "$dir"
mkdir -p "$dir"

if [ "$build_only" -eq 0 ]; then
  # Machine code for the local GPU, or where its capability is unknown, compute_75 PTX that any
  # supported device compiles.
  if [ -n "$arch" ]; then
    code="arch=compute_$arch,code=sm_$arch"
  else
    code="arch=compute_75,code=compute_75"
  fi
  nvcc -gencode "$code" -o "$dir/gpu_probe" "$root/scripts/gpu_probe.cu" >"$dir/probe-build.log" 2>&1 || {
    cat "$dir/probe-build.log"
    fail "nvcc cannot build a kernel for ${arch:+sm_}${arch:-compute_75}"
  }
  "$dir/gpu_probe" | tee "$dir/probe.log"
  probe_status=${PIPESTATUS[0]}
  if [ "$probe_status" -ne 0 ]; then
    reason="$(sed -n 's/^probe: FAIL: //p' "$dir/probe.log")"
    fail "${reason:-the probe exited with status $probe_status}"
  fi
  [ -n "$arch" ] || arch="$(sed -n 's/^probe: .*compute capability \([0-9]*\)\.\([0-9]*\).*/\1\2/p' "$dir/probe.log")"
  [ -n "$arch" ] || fail "the probe did not report the compute capability"
fi

step "build for sm_$arch"
generator="Unix Makefiles"
command -v ninja >/dev/null && generator="Ninja"
opts=(-G "$generator" -DCMAKE_BUILD_TYPE=Release -DTALUNA_CUDA_ARCHITECTURES="$arch"
      -DTALUNA_BENCHMARKS=OFF -DTALUNA_IO_DECODER_TESTS=OFF -DTALUNA_FUZZ_REPLAY=OFF)
[ -d "$root/third_party/googletest" ] && opts+=(-DTALUNA_GTEST_SOURCE_DIR="$root/third_party/googletest")
[ -f "$root/third_party/stb/stb_image_write.h" ] && opts+=(-DTALUNA_STB_INCLUDE_DIR="$root/third_party/stb")
echo "generator: $generator"
read -ra extra <<<"${GPU_CHECK_CMAKE_OPTIONS:-}"
cmake -S "$root" -B "$dir" "${opts[@]}" "${extra[@]}" >"$dir/configure.log" 2>&1 || {
  tail -30 "$dir/configure.log"
  fail "configure failed (is third_party/ from scripts/gpu-prepare.sh here?)"
}
cmake --build "$dir" -j "$jobs" --target taluna taluna_cpu taluna_api_tests taluna-render >"$dir/build.log" 2>&1 || {
  grep -E -B2 -A8 'error|Error' "$dir/build.log" | head -60
  fail "build failed"
}
[ -f "$dir/lib/libtaluna.so" ] || fail "the CUDA library was not built (CMake found no CUDA compiler)"
echo "built in $((SECONDS - start)) s: $(cd "$dir" && ls lib/libtaluna.so lib/libtaluna_cpu.so bin/taluna_api_tests bin/taluna-render | tr '\n' ' ')"
if [ "$build_only" -eq 1 ]; then
  echo "gpu-check: built only, nothing run"
  exit 0
fi

step "interface tests on both libraries"
timeout 300 "$dir/bin/taluna_api_tests" >"$dir/api.log" 2>&1
api_status=$?
[ "$api_status" -ne 124 ] || echo "the interface tests ran for over 300 s and were stopped"
grep -E '^\[==========\] [0-9]+ tests? from .* ran|^\[  (PASSED|FAILED|SKIPPED)  ?\] [0-9]' "$dir/api.log"
# CudaWithoutDevice skips exactly when a device answers; every other skip is a CUDA test that did not run.
skipped="$(grep -E '^\[  SKIPPED \] [^ ]+\.[^ ]+' "$dir/api.log" | awk '{print $4}' | grep -v '^CudaWithoutDevice\.' | sort -u)"
cuda_passed="$(grep -cE '^\[       OK \] [^ ]+/cuda ' "$dir/api.log")"
[ "$api_status" -eq 0 ] || grep -E -A6 '^\[  FAILED  \]|Failure$' "$dir/api.log" | head -60
[ -z "$skipped" ] || printf 'skipped: %s\n' $skipped
echo "CUDA library tests passed: $cuda_passed"

step "GPU against CPU: largest differences of the parity frames"
grep -E '^parity ' "$dir/api.log"
parity_ok="$(grep -cE '^\[       OK \] BackendParity\.' "$dir/api.log")"

problems=()
[ "$api_status" -eq 0 ] || problems+=("interface tests failed")
[ -z "$skipped" ] || problems+=("$(echo "$skipped" | wc -l) CUDA tests skipped")
[ "$cuda_passed" -gt 0 ] || problems+=("no CUDA library test ran")
[ "$parity_ok" -ge 1 ] || problems+=("the parity test did not pass")

variants_failed=0
# The plain path's splat kernel variants on one view: device milliseconds per frame, the default
# (one thread per copy, vector atomics on 9.0 and newer) against the earlier one thread per sample.
step "splat kernel variants (TALUNA_CUDA_SPLAT), 64M galaxy at 1920x1080"
printf '%-14s %2s %6s %10s\n' "variant" "sa" "jitter" "device ms"
for samples in 1 4; do
  for jitter in 0 3; do
    for variant in work-items copies-scalar copies; do
      [ $((SECONDS - start)) -le 330 ] || continue
      out="$(TALUNA_CUDA_SPLAT=$variant timeout 120 "$dir/bin/taluna-render" --backend cuda --count 64000000 \
        --size 1920x1080 --samples "$samples" --jitter "$jitter" --bench 5 2>&1)" || {
        echo "$out" | tail -3
        variants_failed=1
        continue
      }
      ms="$(echo "$out" | sed -n 's/^bench: .*, \([0-9.]*\) ms on the device), .*/\1/p')"
      printf '%-14s %2s %6s %10s\n' "$variant" "$samples" "$jitter" "${ms:-?}"
    done
  done
done
# Downloads through page-locked staging memory against straight into the caller's pageable memory:
# milliseconds per frame as the caller sees them (the device time does not include the download).
printf '\n%-9s %-9s %10s\n' "download" "size" "ms/frame"
for size in 1920x1080 3840x2160; do
  for mode in pageable staged; do
    [ $((SECONDS - start)) -le 340 ] || continue
    out="$(TALUNA_CUDA_DOWNLOAD=$mode timeout 120 "$dir/bin/taluna-render" --backend cuda --count 4000000 \
      --size "$size" --bench 10 2>&1)" || { echo "$out" | tail -3; variants_failed=1; continue; }
    ms="$(echo "$out" | sed -n 's/^bench: \([0-9.]*\) ms per frame .*/\1/p')"
    printf '%-9s %-9s %10s\n' "$mode" "$size" "${ms:-?}"
  done
done
[ "$variants_failed" -eq 0 ] || problems+=("a splat variant run failed")

step "taluna-render --bench"
# One run: backend, particles, size, samples, light; prints a line of figures and keeps samples/s.
declare -A rate
bench_failed=0
bench() {
  local backend="$1" count="$2" size="$3" samples="$4" light="$5" frames=5 out line
  local args=(--backend "$backend" --count "$count" --size "$size" --samples "$samples")
  case "$light" in
    plain) ;;
    sun) args+=(--lit --light "sun:dir=0.3,-1,-0.2:color=1,0.95,0.9:shadows") ;;
    point) args+=(--lit --light "point:pos=0,35,0:color=6,4.6,3.1:falloff=4:range=55:shadows") ;;
  esac
  [ "$backend" = cpu ] && frames=2
  out="$(timeout 120 "$dir/bin/taluna-render" "${args[@]}" --bench "$frames" 2>&1)" || {
    echo "$out" | tail -5
    printf '%-4s %5s %-9s %2s %-5s  FAILED\n' "$backend" "$((count / 1000000))M" "$size" "$samples" "$light"
    bench_failed=1
    return
  }
  # bench: M ms per frame (fastest F ms, D ms on the device), R M samples/s
  line="$(echo "$out" | sed -n 's/^bench: \([0-9.]*\) ms per frame (fastest [0-9.]* ms, \([0-9.]*\) ms on the device), \([0-9.]*\) M samples\/s$/\1 \2 \3/p')"
  if [ -z "$line" ]; then
    echo "$out" | tail -5
    printf '%-4s %5s %-9s %2s %-5s  no figures\n' "$backend" "$((count / 1000000))M" "$size" "$samples" "$light"
    bench_failed=1
    return
  fi
  set -- $line
  local key="$count $size $samples $light"
  local ratio=""
  if [ "$backend" = cpu ] && [ -n "${rate[$key]:-}" ]; then
    ratio="$(awk -v g="${rate[$key]}" -v c="$3" 'BEGIN { if (c > 0) printf "GPU %.1fx the CPU", g / c }')"
  fi
  [ "$backend" = cuda ] && rate[$key]="$3"
  printf '%-4s %5s %-9s %2s %-5s %10s %10s %12s  %s\n' "$backend" "$((count / 1000000))M" "$size" "$samples" \
    "$light" "$1" "$2" "$3" "$ratio"
}
printf '%-4s %5s %-9s %2s %-5s %10s %10s %12s\n' "lib" "count" "size" "sa" "light" "ms/frame" "device ms" "M samples/s"
left_out=0
for count in 4000000 64000000; do
  for size in 1920x1080 3840x2160; do
    for samples in 1 4; do
      for light in plain sun point; do
        if [ $((SECONDS - start)) -gt 390 ]; then
          left_out=$((left_out + 1))
          continue
        fi
        bench cuda "$count" "$size" "$samples" "$light"
      done
    done
  done
done
# The CPU library only for the 4M galaxy at 1920x1080: two frames each.
for samples in 1 4; do
  for light in plain sun point; do
    if [ $((SECONDS - start)) -gt 390 ]; then
      left_out=$((left_out + 1))
      continue
    fi
    bench cpu 4000000 1920x1080 "$samples" "$light"
  done
done
[ "$left_out" -eq 0 ] || echo "bench: $left_out runs left out to stay within the time"
[ "$bench_failed" -eq 0 ] || problems+=("a bench run failed")

echo
echo "finished after $((SECONDS - start)) s"
if [ ${#problems[@]} -gt 0 ]; then
  reason="$(printf '%s; ' "${problems[@]}")"
  fail "${reason%; }"
fi
echo "gpu-check: PASS"
