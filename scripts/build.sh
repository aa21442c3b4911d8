#!/usr/bin/env bash
# Installs what is missing, then configures and builds nlayer into build/ (or $NLAYER_BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${NLAYER_BUILD_DIR:-$root/build}
bash "$root/scripts/install_deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
