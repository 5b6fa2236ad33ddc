#!/usr/bin/env bash
# Installs the build tree into a scratch prefix, then configures, builds and runs the consumer project
# against it. Usage: run.sh BUILD_DIR SCRATCH_DIR
set -euo pipefail
build="$1"
scratch="$2"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
rm -rf "$scratch"
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
test -L "$scratch/prefix/lib/libtaluna_cpu.so" || test -L "$scratch/prefix/lib"/*/libtaluna_cpu.so
cmake -S "$here" -B "$scratch/build" -G Ninja -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
ninja -C "$scratch/build" >/dev/null
libdir="$(dirname "$(find "$scratch/prefix" -name 'libtaluna_cpu.so' | head -1)")"
LD_LIBRARY_PATH="$libdir" "$scratch/build/consumer_cmake"
LD_LIBRARY_PATH="$libdir" "$scratch/build/consumer_pkgconfig"
# The installed tool finds the installed library by itself.
"$scratch/prefix/bin/taluna-render" --backend cpu --help >/dev/null
