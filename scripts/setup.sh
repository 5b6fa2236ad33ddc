#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, when they are missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  googletest libgtest-dev libbenchmark-dev
  libstb-dev libpng-dev libopenexr-dev pngcheck
  nlohmann-json3-dev python3 python3-numpy python3-pytest
  python3-setuptools python3-wheel python3-venv python3-pip
  zlib1g-dev
  # Simulation snapshots (HDF5) for the renderer tool; h5py to write them from Python.
  libhdf5-dev python3-h5py
  # LLVM's OpenMP runtime, which the CPU library links against with every compiler (it keeps working in
  # a forked child); also the ThreadSanitizer build's runtime with its Archer tool (scripts/tsan.sh).
  libomp-14-dev
  # Open MPI for taluna-render's runs as ranks (mpirun -n R), and mpi4py for the same from Python.
  openmpi-bin libopenmpi-dev python3-mpi4py
  # Fuzzing, ThreadSanitizer and soak (scripts/fuzz.sh, scripts/tsan.sh, scripts/soak.sh).
  clang-14 libclang-rt-14-dev valgrind
  # The live viewer (taluna-render --serve): HTTP and JPEG; chromium for its browser test.
  libcpp-httplib-dev libturbojpeg0-dev chromium
)
# Node.js for the browser test, unless one is installed already (a newer one from elsewhere included).
command -v npm >/dev/null || packages+=(nodejs npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "setup: need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
    sudo="sudo"
  fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# puppeteer-core for the browser test, at the version package-lock.json pins, into tests/browser/node_modules
# (ignored by git); it drives Debian's chromium and downloads no browser. Without the registry the browser
# test skips.
browser_tests="$(cd "$(dirname "${BASH_SOURCE[0]}")/../tests/browser" && pwd)"
if [ ! -f "$browser_tests/node_modules/.package-lock.json" ] ||
   [ "$browser_tests/package-lock.json" -nt "$browser_tests/node_modules/.package-lock.json" ]; then
  echo "setup: installing puppeteer-core into tests/browser/node_modules"
  PUPPETEER_SKIP_DOWNLOAD=1 npm ci --prefix "$browser_tests" --no-audit --no-fund --loglevel=error ||
    echo "setup: warning: npm could not install puppeteer-core; the browser test will be skipped" >&2
fi
