#!/usr/bin/env bash
# The soak test of the CPU library (tests/soak/soak.cpp) at full length, then a short run under
# valgrind's memcheck: no invalid access, no use of uninitialised memory, no leak.
#   scripts/soak.sh [BUILD_DIR]   a configured release build (default build/, built by scripts/test.sh)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build="${1:-$root/build}"
ninja -C "$build" -j "$jobs" taluna_soak

echo "== soak: 4 rounds of 750 frames"
# Without glibc's per-thread cache, whose freed blocks would count as heap in use.
GLIBC_TUNABLES=glibc.malloc.tcache_count=0 "$build/bin/taluna_soak" --rounds 4 --frames 750

echo "== valgrind memcheck: 2 rounds of 60 frames"
command -v valgrind >/dev/null || { echo "soak: valgrind is not installed" >&2; exit 1; }
valgrind --error-exitcode=3 --leak-check=full --show-leak-kinds=definite,indirect,possible \
  --errors-for-leak-kinds=definite,indirect,possible --suppressions="$root/tests/soak/valgrind.supp" \
  "$build/bin/taluna_soak" --rounds 2 --frames 60 --particles 3000 --no-growth-check 2>&1 |
  grep -E '^(round| +[0-9]|done|FAILED)|ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|Invalid|uninitialised'
# grep reads the whole output; the pipeline's status is valgrind's.
exit "${PIPESTATUS[0]}"
