#!/usr/bin/env bash
# Run on a machine with an NVIDIA GPU, in one call: configure for the local GPU, build, run the whole
# suite (the interface tests run against libtaluna.so as well as libtaluna_cpu.so), then the
# benchmarks. Needs third_party/ from scripts/gpu-prepare.sh when no package registry is reachable.
#   ARCH=90 scripts/gpu-check.sh     (compute capability of the local GPU, default: detected)
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
arch="${ARCH:-}"
if [ -z "$arch" ] && command -v nvidia-smi >/dev/null; then
  arch="$(nvidia-smi --query-gpu=compute_cap --format=csv,noheader | head -1 | tr -d '.')"
fi
arch="${arch:-90}"
nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader || true

opts=(-DTALUNA_CUDA_ARCHITECTURES="$arch")
[ -d "$root/third_party/googletest" ] && opts+=(-DTALUNA_GTEST_SOURCE_DIR="$root/third_party/googletest")
[ -f "$root/third_party/stb/stb_image_write.h" ] && opts+=(-DTALUNA_STB_INCLUDE_DIR="$root/third_party/stb")
pkg-config --exists OpenEXR libpng 2>/dev/null || opts+=(-DTALUNA_IO_DECODER_TESTS=OFF)

dir="$root/build-gpu"
mkdir -p "$dir"
configure_and_build "$dir" "${opts[@]}" || exit 1
status=0
(cd "$dir" && ctest --output-on-failure) || status=1
# GPU against CPU images, frame by frame (largest per-pixel differences).
"$dir/bin/taluna_api_tests" --gtest_filter='BackendParity*' | grep -E '^parity|OK|FAILED|SKIPPED' || status=1
# The same plain and lit frames on both libraries: the largest per-pixel differences.
"$dir/bin/taluna_api_tests" --gtest_filter='*Parity*' 2>&1 | grep -E 'parity|SKIPPED|FAILED' || true
for b in "$dir"/bin/bench_*; do
  [ -x "$b" ] && "$b" --benchmark_min_time=0.5 2>&1 | grep -v '^\*\*\*WARNING'
done
exit $status
