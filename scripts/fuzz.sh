#!/bin/bash
# Builds the filter fuzzer with clang (its own project in tests/fuzz, so the
# main build keeps its compiler) and runs it for a bounded time on the seed
# corpus. Exits non-zero when the fuzzer finds a crash, a leak, undefined
# behaviour, a slow input or runaway memory; the input is left in
# $FUZZ_BUILD/artifacts. Such an input belongs in tests/fuzz/regressions.
# Usage: scripts/fuzz.sh [SECONDS]   (default 300)
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
SECONDS_TO_RUN="${1:-300}"
BUILD="${FUZZ_BUILD:-$ROOT/build-fuzz}"

CC=clang CXX=clang++ cmake -S "$ROOT/tests/fuzz" -B "$BUILD" -G Ninja >/dev/null
cmake --build "$BUILD"

# New inputs go into a corpus inside the build folder; the committed seeds
# are only read.
mkdir -p "$BUILD/corpus" "$BUILD/artifacts"
exec "$BUILD/filter_fuzzer" \
    -max_total_time="$SECONDS_TO_RUN" \
    -timeout=10 \
    -rss_limit_mb=2048 \
    -malloc_limit_mb=8192 \
    -close_fd_mask=3 \
    -print_final_stats=1 \
    -artifact_prefix="$BUILD/artifacts/" \
    "$BUILD/corpus" "$ROOT/tests/fuzz/corpus"
