#!/usr/bin/env bash
# Builds the CPU library and its tests with ThreadSanitizer (clang-14, build-tsan/) and runs the
# thread tests, or with --all every suite that runs the CPU library in this process.
#
# OpenMP: clang's libomp with its Archer tool (libarcher.so), which hands ThreadSanitizer the ordering
# that OpenMP's barriers and loop ends give; the kernels run with all their threads. libomp itself is
# not instrumented: tests/threads/tsan.supp suppresses the pthread calls made from inside it, and
# nothing else.
# Fork: the thread tests render in a child forked from a process whose OpenMP threads run. ThreadSanitizer
# refuses new threads in such a child unless told otherwise (die_after_fork=0); libomp starts its pool
# anew there, and the child's frames are checked under ThreadSanitizer like the parent's.
#   scripts/tsan.sh [--all]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
all=0
[ "${1:-}" = "--all" ] && all=1

bash "$root/scripts/setup.sh"
build="$root/build-tsan"
mkdir -p "$build"
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTALUNA_SANITIZE_THREAD=ON -DTALUNA_BENCHMARKS=OFF -DTALUNA_CUDA=OFF >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log" >&2; exit 1; }

archer=/usr/lib/llvm-14/lib/libarcher.so
[ -f "$archer" ] || { echo "tsan: $archer missing (libomp-14-dev)" >&2; exit 1; }
export OMP_TOOL_LIBRARIES="$archer"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0 suppressions=$root/tests/threads/tsan.supp ${TSAN_OPTIONS:-}"

if [ "$all" -eq 1 ]; then
  ninja -C "$build" -j "$jobs"
  (cd "$build" && ctest --output-on-failure -E '^(consumer|python)$')
else
  ninja -C "$build" -j "$jobs" taluna_thread_tests
  (cd "$build" && ctest --output-on-failure -R '^threads')
fi
