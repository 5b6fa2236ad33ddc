#!/usr/bin/env bash
# Builds everything (the CUDA library too where nvcc exists) and runs the whole test suite on the CPU
# library; CUDA tests run where a GPU answers and skip cleanly where none does.
#   --sanitize   also build and run the suite under AddressSanitizer and UBSan
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
sanitize=0
for a in "$@"; do
  case "$a" in
    --sanitize) sanitize=1 ;;
    *) echo "usage: scripts/test.sh [--sanitize]" >&2; exit 2 ;;
  esac
done

bash "$root/scripts/setup.sh"
configure_and_build "$root/build"
(cd "$root/build" && ctest --output-on-failure)

if [ "$sanitize" -eq 1 ]; then
  configure_and_build "$root/build-sanitize" -DTALUNA_SANITIZE=ON -DTALUNA_BENCHMARKS=OFF
  (cd "$root/build-sanitize" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure)
fi
