#!/usr/bin/env bash
# Copies into third_party/ what scripts/gpu-check.sh needs on a machine that reaches no package
# registry: GoogleTest's sources, the stb header and the JSON header (both from Debian packages installed here).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bash "$root/scripts/setup.sh"
rm -rf "$root/third_party"
mkdir -p "$root/third_party/stb"
cp -r /usr/src/googletest "$root/third_party/googletest"
cp /usr/include/stb/stb_image_write.h "$root/third_party/stb/"
cp -r /usr/include/nlohmann "$root/third_party/nlohmann"
du -sh "$root/third_party"
