#!/usr/bin/env bash
# Pictures of the window as a lab bench, for a look by eye: a maximised window with the grown
# chart and its legend clear of the curves, two runs one mua apart with legend entries that say
# so, the Curves panel, a zoomed chart, and a completed fit of examples/fit with its residuals.
# The window tests draw them; this runs those tests under Xvfb (the "xcb" platform, as on a
# desktop), or on the offscreen platform where xvfb-run is missing, and collects the PNGs in
# <build>/artefacts.
#
#   bash scripts/window_screenshots.sh [build-dir]     (default: build)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
artefacts=$build/artefacts

cmake --build "$build" -j2 --target main_window_test fit_dialog_test

platform=(-platform xcb)
runner=(xvfb-run -a -s "-screen 0 1920x1200x24")
if ! command -v xvfb-run > /dev/null; then
  platform=()
  runner=()
fi

"${runner[@]}" "$build/tests/main_window_test" "${platform[@]}" --gtest_filter='Bench.*'
"${runner[@]}" "$build/tests/fit_dialog_test" "${platform[@]}" --gtest_filter='FitDialog.FitsTheExample*'

mkdir -p "$artefacts"
name=$([[ ${#platform[@]} -gt 0 ]] && echo xcb || echo offscreen)
for picture in maximised_legend legend_below two_runs_one_mua_apart curves_panel zoomed warning_note fit_dialog; do
  cp "$build/tests/${picture}_${name}.png" "$artefacts/"
done
ls -1 "$artefacts"/*.png
