#!/usr/bin/env bash
# Builds nlayer and runs the whole test suite: the C++ tests under ctest, then the Python
# module's tests under pytest; exits non-zero when a test fails.
#
#   scripts/test.sh            the whole suite, as CI runs it
#   scripts/test.sh --quick    all but the tests labelled slow (ctest's label, pytest's marker):
#                              the developer's loop, a few minutes after the build
set -euo pipefail
quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${NLAYER_BUILD_DIR:-$root/build}
build=$(realpath -m "$build")
bash "$root/scripts/build.sh"
export QT_QPA_PLATFORM=offscreen
ctest_skip=() pytest_skip=()
if ((quick)); then ctest_skip=(-LE slow); pytest_skip=(-m "not slow"); fi
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "${ctest_skip[@]}"

# The interpreter the module was built for (Debian's /usr/bin/python3, which has numpy, pytest
# and Dask). pytest exits non-zero when it collects no tests, so a lost test directory fails too.
python=$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' "$build/CMakeCache.txt")
PYTHONPATH="$build/python" NLAYER_RUN="$build/bin/nlayer-run" \
  "${python:-/usr/bin/python3}" -m pytest -q -p no:cacheprovider "${pytest_skip[@]}" "$root/python/tests"
