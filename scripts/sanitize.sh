#!/usr/bin/env bash
# Builds the whole test suite a second time with AddressSanitizer and UndefinedBehaviorSanitizer
# into build-asan/ (or $NLAYER_ASAN_BUILD_DIR) and runs it: any out-of-bounds access, use after
# free, leak or undefined behaviour ends the test that met it with a report, and the script
# exits non-zero. Extra CMake options are passed on (e.g. -DNLAYER_BUILD_UI=OFF).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${NLAYER_ASAN_BUILD_DIR:-$root/build-asan}
bash "$root/scripts/install_deps.sh"

# No recovery: UBSan would otherwise print a report and carry on, and the test would pass.
# CMake passes CMAKE_CXX_FLAGS to the link step as well, which brings in the runtimes.
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
# Under AddressSanitizer Eigen stops trusting glibc's 16-byte malloc alignment and allocates its
# own way in the inline code we compile, while Debian's Ceres library, built without the
# sanitizer, frees the same matrices with free(): a false "bad-free". Glibc's and ASan's malloc
# both align to 16 bytes on x86-64, which Eigen asserts in this build (NDEBUG is off).
sanitize+=" -DEIGEN_MALLOC_ALREADY_ALIGNED=1"
# RelWithDebInfo without NDEBUG, so that the assertions are checked as well.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" \
  -DCMAKE_CXX_COMPILER=g++ -DCMAKE_CXX_FLAGS="$sanitize" -DNLAYER_BUILD_BENCH=OFF "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"

export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$root/scripts/lsan.supp:print_suppressions=0
export QT_QPA_PLATFORM=offscreen
# The tests labelled slow are left out: the fit statistics repeat the joint fit tests' paths over
# hundreds of noise draws (some ten minutes under the sanitizers), and the package install builds
# its own uninstrumented extension.
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" -LE slow
