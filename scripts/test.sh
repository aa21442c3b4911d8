#!/usr/bin/env bash
# Builds nlayer and runs the whole test suite: the C++ tests under ctest, then the Python
# module's tests under pytest; exits non-zero when a test fails.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${NLAYER_BUILD_DIR:-$root/build}
build=$(realpath -m "$build")
bash "$root/scripts/build.sh"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

# The interpreter the module was built for (Debian's /usr/bin/python3, which has numpy, pytest
# and Dask). pytest exits non-zero when it collects no tests, so a lost test directory fails too.
python=$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' "$build/CMakeCache.txt")
PYTHONPATH="$build/python" NLAYER_RUN="$build/bin/nlayer-run" \
  "${python:-/usr/bin/python3}" -m pytest -q -p no:cacheprovider "$root/python/tests"
