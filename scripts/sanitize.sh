#!/bin/bash
# Builds a second tree with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the whole test suite in it. Any sanitizer report ends the process
# that made it with a failure, so the test that ran it fails.
# Usage: scripts/sanitize.sh   (tree in $SANITIZE_BUILD, default build-asan)
#
# The end-to-end tests run too: cupsfilter and the private scheduler start
# the sanitized filter as a separate process, which ASan does not mind, and
# they feed it the rasters a real print system makes. Tests that set an
# address-space limit skip themselves under ASan, which reserves terabytes
# of shadow memory at start.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${SANITIZE_BUILD:-$ROOT/build-asan}"
# GCC leaves float-to-int overflow out of "undefined"; absurd PPD offsets
# and brightness values reach exactly such conversions.
FLAGS="-O1 -g -fsanitize=address,undefined,float-cast-overflow -fno-omit-frame-pointer"
FLAGS="$FLAGS -fno-sanitize-recover=undefined,float-cast-overflow"

cmake -S "$ROOT" -B "$BUILD" -G Ninja \
    -DCMAKE_BUILD_TYPE= \
    -DCMAKE_C_FLAGS="$FLAGS" \
    -DCMAKE_CXX_FLAGS="$FLAGS" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$BUILD"

# Reports go to standard error, where the tests show them; halt_on_error
# turns every UBSan finding into a failing exit status as well.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:halt_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
cd "$BUILD"
ctest --output-on-failure --timeout 600
