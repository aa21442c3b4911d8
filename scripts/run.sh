#!/usr/bin/env bash
# Builds nlayer (installing what is missing) and starts it in a working directory that holds an
# example "input.dat": build/run/ by default, created from examples/one_layer on first use and
# never overwritten afterwards, so your own edits of build/run/input.dat stay.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${NLAYER_BUILD_DIR:-$root/build}
bash "$root/scripts/build.sh"

workdir=${NLAYER_RUN_DIR:-$build/run}
mkdir -p "$workdir"
[[ -e "$workdir/input.dat" ]] || cp "$root/examples/one_layer/input.dat" "$workdir/input.dat"
cd "$workdir"

if [[ -x "$build/bin/nlayer" && ( -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ) ]]; then
  echo "Starting nlayer in $workdir (model: $workdir/input.dat)"
  exec "$build/bin/nlayer"
fi

if [[ -x "$build/bin/nlayer" ]]; then
  echo "No display found (DISPLAY is not set): the window cannot open here."
else
  echo "The window program is not built on this machine."
fi
echo "Running the headless command instead: $build/bin/nlayer-run (see README, 'nlayer-run')."
plot=()
[[ -x "$build/bin/nlayer" ]] && plot=(--plot curve.png)
QT_QPA_PLATFORM=offscreen "$build/bin/nlayer-run" "${plot[@]}"
echo "Wrote $workdir/reflectance.dat ($(wc -l < reflectance.dat) samples)."
[[ -e curve.png ]] && echo "Drew the curve into $workdir/curve.png (nlayer-run --plot)."
exit 0
