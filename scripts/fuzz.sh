#!/usr/bin/env bash
# Builds the libFuzzer targets with clang++ into build-fuzz/ (or $NLAYER_FUZZ_BUILD_DIR) and
# runs each (or those named in $NLAYER_FUZZ_TARGETS) for the given number of seconds (default
# 60) on its seed corpus from fuzz/corpus/,
# copied into the build directory, where what the fuzzer adds accumulates from run to run.
# A crash, a sanitizer report or a broken invariant makes the script fail; the input that
# caused it is kept in build-fuzz/findings/<target>/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
# Absolute: the targets make a scratch directory their working directory before they read
# the corpus.
build=$(realpath -m "${NLAYER_FUZZ_BUILD_DIR:-$root/build-fuzz}")
bash "$root/scripts/install_deps.sh"

# RelWithDebInfo without NDEBUG: the core's assertions stay on while fuzzing.
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" -DNLAYER_BUILD_FUZZ=ON \
  -DNLAYER_BUILD_UI=OFF -DNLAYER_BUILD_TESTS=OFF -DNLAYER_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzzers -j"$(nproc)"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Longest input per target: a whole run of twelve layers needs well under 2 kB; the readers
# get room for tokens far beyond their 64-character limit.
declare -A max_len=([fuzz_input_reader]=4096 [fuzz_read_model]=4096 [fuzz_run]=2048 [fuzz_number_list]=512
  [fuzz_model_file]=4096 [fuzz_curve_file]=8192 [fuzz_half_space]=20 [fuzz_spectrum_file]=8192
  # A problem file: room for a header of some tens of thousands of dotted parts, which once
  # overflowed the parser's stack.
  [fuzz_problem_file]=81920)

status=0
targets=(${NLAYER_FUZZ_TARGETS:-fuzz_input_reader fuzz_read_model fuzz_run fuzz_number_list fuzz_model_file fuzz_curve_file fuzz_half_space fuzz_problem_file fuzz_spectrum_file})
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  findings="$build/findings/$target"
  mkdir -p "$corpus" "$findings"
  cp "$root/fuzz/corpus/$target/"* "$corpus/"
  log="$findings/last-run.log"
  echo "fuzzing $target for $seconds s (log: $log)"
  if "$build/fuzz/$target" "$corpus" -max_total_time="$seconds" -max_len="${max_len[$target]}" \
      -timeout=30 -rss_limit_mb=2048 -dict="$root/fuzz/nlayer.dict" \
      -artifact_prefix="$findings/" -print_final_stats=1 >"$log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^Done' "$log" || true
  else
    status=1
    echo "$target FAILED; the input is in $findings/:"
    tail -n 60 "$log"
  fi
done
exit $status
