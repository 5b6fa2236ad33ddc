#!/usr/bin/env bash
# Makes the pictures at the top of the README (docs/*.png) with the tool as built, so that they show what it
# does now: the galaxy, the lit galaxy, a simulation snapshot coloured by a quantity, and the live viewer in
# headless chromium after a drag (the browser test's screenshot). Run after a build (scripts/test.sh);
# the snapshot needs python3-h5py and the screenshot the browser test's packages (scripts/setup.sh).
# Each command is printed as the README shows it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
tool="$root/build/bin/taluna-render"
scratch="$(mktemp -d)"
cd "$root/docs"
trap 'rm -rf "$scratch" snapshot.hdf5' EXIT

run() {
  echo "taluna-render $*"
  "$tool" --quiet "$@" >/dev/null
}
run --size 640x360 -o galaxy.png
run --size 640x360 --lit -o galaxy-lit.png

# A gas disc of 500,000 particles whose temperature falls with the radius, with hot spiral arms, written as
# a simulation code writes a snapshot.
/usr/bin/python3 - "$scratch/snapshot.hdf5" <<'PY'
import sys
import h5py
import numpy as np

rng = np.random.default_rng(7)
n = 500_000
r = rng.exponential(12.0, n) + 0.5
theta = rng.uniform(0, 2 * np.pi, n)
arm = np.cos(2 * theta - r / 5.0)
theta += 0.35 * arm / (1 + r / 20.0)
z = rng.normal(0, 0.6 + 0.05 * r, n)
coordinates = np.stack([r * np.cos(theta), z, r * np.sin(theta)], axis=1).astype(np.float32)
temperature = (2e6 * np.exp(-r / 6.0) * (1.5 + arm) + 1e4 * rng.lognormal(0, 0.5, n)).astype(np.float32)
with h5py.File(sys.argv[1], "w") as f:
    f["PartType0/Coordinates"] = coordinates
    f["PartType0/Temperature"] = temperature
PY
ln -sf "$scratch/snapshot.hdf5" snapshot.hdf5
run --input snapshot.hdf5 --color-by Temperature --log --cmap inferno --eye 0,45,60 --target 0,0,0 \
    --size 640x360 -o snapshot.png

echo "node tests/browser/viewer_test.mjs build/bin/taluna-render docs/viewer.png 1000000"
node "$root/tests/browser/viewer_test.mjs" "$tool" viewer.png 1000000
ls -l galaxy.png galaxy-lit.png snapshot.png viewer.png
