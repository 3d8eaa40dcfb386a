#!/bin/bash
# Proof that a change (an optimisation, a refactoring) left the filter's
# output unchanged: runs two filter binaries on the benchmark pages (a label
# job and an A4 job of text, photo and blank pages) for every halftone type,
# with raw and with compressed bitmaps, and compares standard output byte
# for byte.
#
# Usage: scripts/check-identical.sh [OLD [NEW]]
#   OLD and NEW each name a rastertotavel executable, a git revision (built
#   from a clean export of that revision), or "." (the working tree).
#   Defaults: OLD = HEAD, NEW = . (what the uncommitted changes did).
# Exit status: 0 identical, 1 any difference, 2 usage, build or run failure.
set -euo pipefail

BENCH_ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$BENCH_ROOT"
# shellcheck source=bench/bench_lib.sh
source bench/bench_lib.sh

if [ $# -gt 2 ] || [ "${1:-}" = "-h" ] || [ "${1:-}" = "--help" ]; then
    sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
fi
OLD=${1:-HEAD}
NEW=${2:-.}

BUILD=$BENCH_ROOT/build-identical
WORK=$BUILD/run
mkdir -p "$WORK"
rm -f "$WORK"/diff-*.tspl
PPD_FILE=$BENCH_ROOT/tests/data/tavel-test.ppd

# The working tree always builds: its raster writer and page generator make
# the pages, whichever filters are compared.
echo "building the working tree" >&2
bench_build "$BUILD/work"
TREE_FILTER=$(bench_tool "$BUILD/work" rastertotavel)

# filter_of WHAT: path of the filter binary that WHAT names, built if needed.
filter_of() {
    local what=$1
    if [ "$what" = "." ]; then
        echo "$TREE_FILTER"
        return 0
    fi
    if [ -f "$what" ] && [ -x "$what" ]; then
        readlink -f "$what"
        return 0
    fi
    local commit
    commit=$(git rev-parse --verify --quiet "$what^{commit}") ||
        bench_die "$what is neither an executable nor a git revision"
    local tree=$BUILD/rev-$commit
    if [ ! -d "$tree/src" ]; then
        mkdir -p "$tree/src"
        git archive "$commit" | tar -x -C "$tree/src"
    fi
    echo "building $what ($commit)" >&2
    { cmake -S "$tree/src" -B "$tree/build" -G Ninja &&
        cmake --build "$tree/build" --target rastertotavel; } >"$tree/build.log" 2>&1 ||
        { tail -20 "$tree/build.log" >&2; bench_die "building $what failed"; }
    bench_tool "$tree/build" rastertotavel
}

OLD_FILTER=$(filter_of "$OLD")
NEW_FILTER=$(filter_of "$NEW")
echo "old: $OLD_FILTER" >&2
echo "new: $NEW_FILTER" >&2

PAGEGEN=$(bench_tool "$BUILD/work" tavel_pagegen)
RASTERWRITE=$(bench_tool "$BUILD/work" rasterwrite)

DUMPS_BEFORE=$WORK/dumps-before
bench_dumps_mark "$DUMPS_BEFORE"
trap 'bench_dumps_clean "$DUMPS_BEFORE"' EXIT

# One job per page size holding every content, so that state carried from
# page to page is compared too.
jobs=()
for entry in "${BENCH_SIZES[@]}"; do
    read -r size width height dpi <<<"$entry"
    job_pages=()
    for content in "${BENCH_CONTENTS[@]}"; do
        "$PAGEGEN" "$content" "$width" "$height" "$WORK/$size-$content.ink.pgm" ||
            bench_die "cannot make page $WORK/$size-$content.ink.pgm"
        job_pages+=("$WORK/$size-$content.ink.pgm")
    done
    "$RASTERWRITE" -o "$WORK/$size-job.ras" --res "$dpi" "${job_pages[@]}" ||
        bench_die "cannot write $WORK/$size-job.ras"
    rm -f "${job_pages[@]}"
    jobs+=("$size")
done
PAGES_PER_JOB=${#BENCH_CONTENTS[@]}

# run_filter BINARY OUT HALFTONE ZIP RASTER: one job; fails unless the
# filter exits 0 and printed every page, so that two filters that both
# print nothing never count as identical.
run_filter() {
    local binary=$1 out=$2 halftone=$3 zip=$4 raster=$5 prints
    if ! PPD=$PPD_FILE "$binary" 1 check check 1 "HalftoneType=$halftone ZIP=$zip" "$raster" \
        >"$out" 2>"$out.log"; then
        echo "FAILED: $binary exited with an error (log: $out.log)" >&2
        return 1
    fi
    prints=$(grep -a -c '^PRINT ' "$out" || true)
    if [ "$prints" -lt "$PAGES_PER_JOB" ]; then
        echo "FAILED: $binary printed $prints of $PAGES_PER_JOB pages (log: $out.log)" >&2
        return 1
    fi
}

differences=0
failures=0
for size in "${jobs[@]}"; do
    for halftone in "${BENCH_HALFTONES[@]}"; do
        for zip in False True; do
            case="$size HalftoneType=$halftone ZIP=$zip"
            old_out=$WORK/old.tspl
            new_out=$WORK/new.tspl
            if ! run_filter "$OLD_FILTER" "$old_out" "$halftone" "$zip" "$WORK/$size-job.ras" ||
                ! run_filter "$NEW_FILTER" "$new_out" "$halftone" "$zip" "$WORK/$size-job.ras"; then
                echo "  in case: $case" >&2
                failures=$((failures + 1))
            elif ! cmp_line=$(cmp "$old_out" "$new_out" 2>&1); then
                echo "DIFFERENT: $case: $cmp_line" >&2
                cp "$old_out" "$WORK/diff-$size-$halftone-$zip.old.tspl"
                cp "$new_out" "$WORK/diff-$size-$halftone-$zip.new.tspl"
                differences=$((differences + 1))
            else
                echo "identical: $case ($(stat -c %s "$new_out") bytes)"
            fi
            bench_dumps_clean "$DUMPS_BEFORE"
        done
    done
done

total=$((${#jobs[@]} * ${#BENCH_HALFTONES[@]} * 2))
if [ "$failures" -gt 0 ]; then
    echo "check-identical: $failures of $total cases could not be compared (a filter failed)" >&2
    exit 2
fi
if [ "$differences" -gt 0 ]; then
    echo "check-identical: $differences of $total cases DIFFER between $OLD and $NEW;" \
         "the outputs are kept in $WORK/diff-*.tspl" >&2
    exit 1
fi
echo "check-identical: all $total cases identical between $OLD and $NEW"
