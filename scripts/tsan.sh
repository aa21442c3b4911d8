#!/usr/bin/env bash
# Builds the library and its threaded tests with ThreadSanitizer into build-tsan/ (or
# $NLAYER_TSAN_BUILD_DIR) and runs them: the frequency loops of both engines on several
# workers, several distances in one call, a stop requested from another thread, whole runs on 1
# to 3 threads, fits, and the Monte Carlo batches. Any data race ends the test that met it with
# a report, and the script exits non-zero. Only the threaded tests: the whole suite under TSan
# would take most of an hour.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${NLAYER_TSAN_BUILD_DIR:-$root/build-tsan}
bash "$root/scripts/install_deps.sh"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" \
  -DCMAKE_CXX_COMPILER=g++ -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
  -DNLAYER_BUILD_BENCH=OFF -DNLAYER_BUILD_UI=OFF -DNLAYER_BUILD_PLOT=OFF -DNLAYER_BUILD_PYTHON=OFF >/dev/null
tests=(reflectance_test fast_engine_test synthesis_test fit_test)
cmake --build "$build" -j"$(nproc)" --target "${tests[@]}" monte_carlo_test

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
status=0
for test in "${tests[@]}"; do
  echo "ThreadSanitizer: $test"
  if ! "$build/tests/$test" --gtest_brief=1; then
    status=1
    echo "$test FAILED under ThreadSanitizer"
  fi
done
# The Monte Carlo batches on 1 to 8 threads; its statistical tests are single long runs.
echo "ThreadSanitizer: monte_carlo_test"
if ! "$build/tests/monte_carlo_test" --gtest_brief=1 --gtest_filter='MonteCarloParallel.*'; then
  status=1
  echo "monte_carlo_test FAILED under ThreadSanitizer"
fi
exit $status
