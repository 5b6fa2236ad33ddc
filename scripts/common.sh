# Shared by the scripts: repository root, CUDA on PATH, and the configure-and-build step.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [ -d /usr/local/cuda/bin ]; then
  export PATH="/usr/local/cuda/bin:$PATH"
fi
jobs="$(nproc 2>/dev/null || echo 2)"

# configure_and_build BUILD_DIR [cmake options...]
configure_and_build() {
  local dir="$1"
  shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >"$dir.configure.log" 2>&1 || {
    cat "$dir.configure.log" >&2
    return 1
  }
  ninja -C "$dir" -j "$jobs"
}
