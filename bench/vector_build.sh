#!/bin/bash
# The filter built twice, once as usual and once with -U__SSE2__, timed on
# the same pages in one run with the commands alternating, beside
# ImageMagick's Floyd-Steinberg (convert page.pgm -dither FloydSteinberg
# -monochrome out.pbm). The vector loops are written once with GCC's vector
# types; with __SSE2__ undefined, code that tested for it would take the
# plain path that ARM takes, so the second build is the stand-in for ARM on
# this machine, and both builds should run alike.
#
# Usage: bench/vector_build.sh [REVISION]
#   REVISION (a git revision) is built both ways too and timed beside the
#   working tree: the before and after of a change.
# Settings (environment): BENCH_BUILD (build-bench), BENCH_REPS (7).
set -euo pipefail

BENCH_ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$BENCH_ROOT"
# shellcheck source=bench/bench_lib.sh
source bench/bench_lib.sh

BUILD=${BENCH_BUILD:-build-bench}
REPS=${BENCH_REPS:-7}
REVISION=${1:-}
CONVERT=$BENCH_CONVERT
bench_install_imagemagick
PPD_FILE=$BENCH_ROOT/tests/data/tavel-test.ppd
# The types the comparison covers: classic diffusion, a threshold matrix
# and both stencil types.
HALFTONES=(FloydSteinberg Ordered Burkes Stucki StevensonArce Tattoo Tattoo_X8)

# build_filter SOURCE DIR FLAGS: the filter of the tree SOURCE built in DIR
# with the extra compiler FLAGS; prints its path.
build_filter() {
    local source=$1 dir=$2 flags=$3
    mkdir -p "$dir"
    { CXXFLAGS=$flags cmake -S "$source" -B "$dir" -G Ninja &&
        cmake --build "$dir" --target rastertotavel; } >"$dir/build.log" 2>&1 ||
        { tail -20 "$dir/build.log" >&2; bench_die "building $dir failed"; }
    bench_tool "$dir" rastertotavel
}

bench_build "$BUILD"
RASTERWRITE=$(bench_tool "$BUILD" rasterwrite)
PAGEGEN=$(bench_tool "$BUILD" tavel_pagegen)
TIMEDRUN=$(bench_tool "$BUILD" tavel_timedrun)

NAMES=()
FILTERS=()
add_builds() {
    local name=$1 source=$2 dir=$3
    echo "building $name (default and -U__SSE2__)" >&2
    NAMES+=("$name" "$name-U__SSE2__")
    FILTERS+=("$(build_filter "$source" "$dir/default" "")")
    FILTERS+=("$(build_filter "$source" "$dir/no-sse2" "-U__SSE2__")")
}
add_builds tree "$BENCH_ROOT" "$BUILD/vector-tree"
if [ -n "$REVISION" ]; then
    commit=$(git rev-parse --verify --quiet "$REVISION^{commit}") ||
        bench_die "$REVISION is not a git revision"
    tree=$BUILD/vector-rev-$commit
    if [ ! -d "$tree/src" ]; then
        mkdir -p "$tree/src"
        git archive "$commit" | tar -x -C "$tree/src"
    fi
    add_builds "${REVISION:0:12}" "$tree/src" "$tree"
fi

WORK=$BUILD/vector-run
rm -rf "$WORK"
mkdir -p "$WORK/pages"
DUMPS_BEFORE=$WORK/dumps-before
trap 'bench_dumps_clean "$DUMPS_BEFORE"' EXIT
bench_dumps_mark "$DUMPS_BEFORE"

RESULTS=$WORK/results.txt
: >"$RESULTS"
timed() {
    local label=$1 line
    shift
    line=$("$TIMEDRUN" -o "$WORK/out" -- "$@") || bench_die "$label failed: $*"
    echo "$label $line" >>"$RESULTS"
}

PAGES=("a4 photo" "a4 text" "label photo")
for page_entry in "${PAGES[@]}"; do
    read -r size content <<<"$page_entry"
    bench_make_page "$PAGEGEN" "$RASTERWRITE" "$WORK/pages" "$size" "$content"
    page=$WORK/pages/$size-$content
    echo "timing $size $content ($REPS repetitions)" >&2
    for ((rep = 0; rep < REPS; rep++)); do
        timed "$size-$content convert -" "$CONVERT" "$page.pgm" -dither FloydSteinberg -monochrome \
            "$WORK/im.pbm"
        for halftone in "${HALFTONES[@]}"; do
            for i in "${!FILTERS[@]}"; do
                PPD=$PPD_FILE timed "$size-$content $halftone ${NAMES[$i]}" "${FILTERS[$i]}" 1 bench \
                    bench 1 "HalftoneType=$halftone ZIP=False" "$page.ras"
                bench_dumps_clean "$DUMPS_BEFORE"
            done
        done
    done
done

# Median time of each label (page, halftone, build).
MEDIANS=$WORK/medians.txt
sort -k1,1 -k2,2 -k3,3 -k4,4g "$RESULTS" | awk '
    function flush() { if (n) print key, t[int((n + 1) / 2)] }
    { k = $1 " " $2 " " $3
      if (k != key) { flush(); key = k; n = 0 }
      t[++n] = $4 }
    END { flush() }' >"$MEDIANS"

echo "# The filter built as usual and with -U__SSE2__: medians of $REPS runs, ms"
echo "date: $(date); machine: $(nproc) cores; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
header="| page | halftone"
rule="|---|---"
for name in "${NAMES[@]}"; do
    header="$header | $name ms (convert / it)"
    rule="$rule|---"
done
echo "$header | -U__SSE2__ / default (tree) | targets (tree, both builds) |"
echo "$rule|---|---|"
for page_entry in "${PAGES[@]}"; do
    read -r size content <<<"$page_entry"
    for halftone in "${HALFTONES[@]}"; do
        awk -v page="$size-$content" -v h="$halftone" -v names="${NAMES[*]}" '
            $1 == page && $2 == "convert" { im = $4 }
            $1 == page && $2 == h { t[$3] = $4 }
            END {
                n = split(names, name, " ")
                line = "| " page " | " h
                for (i = 1; i <= n; ++i)
                    line = line sprintf(" | %.1f (%.1f)", t[name[i]] * 1000, im / t[name[i]])
                slow = t[name[1]] > t[name[2]] ? t[name[1]] : t[name[2]]
                if (page ~ /^a4/) {
                    need = (h ~ /^Tattoo/) ? 20 : 30
                    verdict = sprintf("convert / filter >= %d: %s", need, im / slow >= need ? "met" : "MISSED")
                } else {
                    verdict = sprintf("-U__SSE2__ within 1.3 x default: %s",
                                      t[name[2]] <= 1.3 * t[name[1]] ? "met" : "MISSED")
                }
                printf "%s | %.2f | %s |\n", line, t[name[2]] / t[name[1]], verdict
            }' "$MEDIANS"
    done
done
