#!/bin/bash
# Proof that a change (an optimisation, a refactoring, another CPU) left the
# filter's output unchanged: runs two or more filter binaries on the
# benchmark pages (a label job and an A4 job of text, photo and blank pages)
# for every halftone type, with raw and with compressed bitmaps, and
# compares standard output byte for byte.
#
# Usage: scripts/check-identical.sh [OLD [NEW...]]
#   OLD and each NEW name a rastertotavel executable, a git revision (built
#   from a clean export of that revision), "." (the working tree), or an
#   emulator command line ending in an executable ("qemu-arm -L / FILTER").
#   Defaults: OLD = HEAD, NEW = . (what the uncommitted changes did).
#   Several NEW filters run side by side on each job, each compared with OLD.
# Exit status: 0 identical, 1 any difference, 2 usage, build or run failure.
set -euo pipefail

BENCH_ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$BENCH_ROOT"
# shellcheck source=bench/bench_lib.sh
source bench/bench_lib.sh

if [ "${1:-}" = "-h" ] || [ "${1:-}" = "--help" ]; then
    sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
fi
OLD=${1:-HEAD}
NEWS=("${@:2}")
[ ${#NEWS[@]} -gt 0 ] || NEWS=(.)

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

# filter_of WHAT: the words of the command that runs the filter WHAT names,
# one a line; a revision is built first.
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
    local words
    read -r -a words <<<"$what"
    if [ ${#words[@]} -gt 1 ]; then
        local program=${words[-1]}
        [ -f "$program" ] && [ -x "$program" ] ||
            bench_die "$program (run by ${words[0]}) is not an executable"
        printf '%s\n' "${words[@]:0:${#words[@]}-1}"
        readlink -f "$program"
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

# Each filter's command, its words one a line.
OLD_WORDS=$(filter_of "$OLD")
mapfile -t OLD_FILTER <<<"$OLD_WORDS"
echo "old: ${OLD_FILTER[*]}" >&2
NEW_WORDS=()
for new in "${NEWS[@]}"; do
    words=$(filter_of "$new")
    NEW_WORDS+=("$words")
    echo "new: ${words//$'\n'/ }" >&2
done

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

# run_filter OUT HALFTONE ZIP RASTER COMMAND...: one job; fails unless the
# filter exits 0 and printed every page, so that two filters that both
# print nothing never count as identical.
run_filter() {
    local out=$1 halftone=$2 zip=$3 raster=$4 prints
    shift 4
    if ! PPD=$PPD_FILE "$@" 1 check check 1 "HalftoneType=$halftone ZIP=$zip" "$raster" \
        >"$out" 2>"$out.log"; then
        echo "FAILED: $* exited with an error (log: $out.log)" >&2
        return 1
    fi
    prints=$(grep -a -c '^PRINT ' "$out" || true)
    if [ "$prints" -lt "$PAGES_PER_JOB" ]; then
        echo "FAILED: $* printed $prints of $PAGES_PER_JOB pages (log: $out.log)" >&2
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
            runs=()
            for i in "${!NEWS[@]}"; do
                mapfile -t new_filter <<<"${NEW_WORDS[$i]}"
                run_filter "$WORK/new-$i.tspl" "$halftone" "$zip" "$WORK/$size-job.ras" \
                    "${new_filter[@]}" &
                runs+=($!)
            done
            old_ok=true
            run_filter "$old_out" "$halftone" "$zip" "$WORK/$size-job.ras" "${OLD_FILTER[@]}" ||
                old_ok=false
            for i in "${!NEWS[@]}"; do
                new_out=$WORK/new-$i.tspl
                label="$case, ${NEWS[$i]}"
                if ! wait "${runs[$i]}" || ! $old_ok; then
                    echo "  in case: $label" >&2
                    failures=$((failures + 1))
                elif ! cmp_line=$(cmp "$old_out" "$new_out" 2>&1); then
                    echo "DIFFERENT: $label: $cmp_line" >&2
                    cp "$old_out" "$WORK/diff-$size-$halftone-$zip.old.tspl"
                    cp "$new_out" "$WORK/diff-$size-$halftone-$zip.new-$i.tspl"
                    differences=$((differences + 1))
                else
                    echo "identical: $label ($(stat -c %s "$new_out") bytes)"
                fi
            done
            bench_dumps_clean "$DUMPS_BEFORE"
        done
    done
done

total=$((${#jobs[@]} * ${#BENCH_HALFTONES[@]} * 2 * ${#NEWS[@]}))
if [ "$failures" -gt 0 ]; then
    echo "check-identical: $failures of $total comparisons could not be made (a filter failed)" >&2
    exit 2
fi
if [ "$differences" -gt 0 ]; then
    echo "check-identical: $differences of $total comparisons DIFFER between $OLD and" \
         "${NEWS[*]}; the outputs are kept in $WORK/diff-*.tspl" >&2
    exit 1
fi
echo "check-identical: all $total comparisons identical between $OLD and ${NEWS[*]}"
