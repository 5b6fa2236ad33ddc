#!/usr/bin/env bash
# Builds what is needed and renders the demo picture (galaxy.png and galaxy.exr in the current folder).
# Extra arguments go to taluna-render (try --help).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bash "$root/scripts/setup.sh"
mkdir -p "$root/build"
configure_and_build "$root/build" >/dev/null
exec "$root/build/bin/taluna-render" "$@"
