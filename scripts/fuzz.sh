#!/bin/bash
# Builds the filter fuzzer with clang (its own project in tests/fuzz, so the
# main build keeps its compiler) and runs it for a bounded time on the seed
# corpus. Exits non-zero when the fuzzer finds a crash, a leak, undefined
# behaviour, a slow input or runaway memory; the input is left in
# $FUZZ_BUILD/artifacts. Such an input belongs in tests/fuzz/regressions.
# Usage: scripts/fuzz.sh [SECONDS [RUNS]]   (default 300 seconds)
# With RUNS the pass is bounded by a count: a fixed seed, a fresh corpus of
# the committed seeds only, and at most RUNS inputs (SECONDS still bounds
# it). make test uses that form, so every machine explores much the same
# inputs whatever its speed.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
SECONDS_TO_RUN="${1:-300}"
RUNS="${2:-}"
BUILD="${FUZZ_BUILD:-$ROOT/build-fuzz}"

CC=clang CXX=clang++ cmake -S "$ROOT/tests/fuzz" -B "$BUILD" -G Ninja >/dev/null
cmake --build "$BUILD"

# New inputs go into a corpus inside the build folder; the committed seeds
# are only read.
CORPUS="$BUILD/corpus"
REPEATABLE=()
if [ -n "$RUNS" ]; then
    CORPUS="$BUILD/corpus-repeatable"
    rm -rf "$CORPUS"
    REPEATABLE=(-seed=1 -runs="$RUNS")
fi
mkdir -p "$CORPUS" "$BUILD/artifacts"
exec "$BUILD/filter_fuzzer" \
    "${REPEATABLE[@]}" \
    -max_total_time="$SECONDS_TO_RUN" \
    -timeout=10 \
    -rss_limit_mb=2048 \
    -malloc_limit_mb=8192 \
    -close_fd_mask=3 \
    -print_final_stats=1 \
    -artifact_prefix="$BUILD/artifacts/" \
    "$CORPUS" "$ROOT/tests/fuzz/corpus"
