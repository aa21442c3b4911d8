#!/usr/bin/env bash
# Builds what the program needs (installing what is missing) and starts it in a working directory
# that holds an example "input.dat": build/run/ by default, created from examples/one_layer on
# first use and never overwritten afterwards, so your own edits of build/run/input.dat stay.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${NLAYER_BUILD_DIR:-$root/build}
bash "$root/scripts/install_deps.sh"

# Only the window and nlayer-run: the tests, benchmarks and the Python module are
# scripts/build.sh's. The build directory is configured as build.sh configures it, so that
# either script can follow the other without rebuilding. The compiler's chatter goes to a log
# that is shown only when the build fails.
mkdir -p "$build"
log="$build/run-build.log"
[[ -x "$build/bin/nlayer-run" ]] || echo "Building nlayer (the first start takes a few minutes) ..."
if ! cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$log" 2>&1; then
  cat "$log" >&2
  echo "Configuring the build failed (the output above is also in $log)." >&2
  exit 1
fi
targets=(nlayer-run)
grep -q '^NLAYER_BUILD_UI:BOOL=ON' "$build/CMakeCache.txt" && targets+=(nlayer)
if ! cmake --build "$build" --target "${targets[@]}" -j"$(nproc)" >>"$log" 2>&1; then
  grep -n -B2 -A12 -E 'error|Error' "$log" | tail -n 80 >&2 || tail -n 80 "$log" >&2
  echo "The build failed (the whole output is in $log)." >&2
  exit 1
fi

workdir=${NLAYER_RUN_DIR:-$build/run}
mkdir -p "$workdir"
[[ -e "$workdir/input.dat" ]] || cp "$root/examples/one_layer/input.dat" "$workdir/input.dat"
cd "$workdir"

# Qt notes a missing runtime directory on every start ("QStandardPaths: XDG_RUNTIME_DIR not
# set"): give it one of the user's own, as a desktop session would.
if [[ -z "${XDG_RUNTIME_DIR:-}" ]]; then
  export XDG_RUNTIME_DIR="$build/runtime"
  mkdir -p "$XDG_RUNTIME_DIR"
  chmod 700 "$XDG_RUNTIME_DIR"
fi

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
