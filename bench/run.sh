#!/bin/bash
# make bench: micro-benchmarks of the pipeline stages, then the whole-process
# comparison. The filter process is timed against ImageMagick halftoning the
# same page (convert page.pgm -dither FloydSteinberg -monochrome out.pbm) and
# against cat of the raster (the floor: reading the page and nothing else),
# in one run with the commands alternating, on realistic pages of two sizes.
# Prints medians, ratios and peak memory, peak memory across a 50-page job,
# and the filter built with -U__SSE2__ beside the usual build
# (bench/vector_build.sh). Settings (environment):
#   BENCH_BUILD   build folder (build-bench)
#   BENCH_REPS    repetitions of every command (5)
#   BENCH_MICRO   0 skips the Google Benchmark programs (1)
set -euo pipefail

BENCH_ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$BENCH_ROOT"
# shellcheck source=bench/bench_lib.sh
source bench/bench_lib.sh

BUILD=${BENCH_BUILD:-build-bench}
REPS=${BENCH_REPS:-5}
MICRO=${BENCH_MICRO:-1}
JOB_PAGES=50
CONVERT=$BENCH_CONVERT

bench_install_imagemagick
bench_build "$BUILD" tavel_bench
FILTER=$(bench_tool "$BUILD" rastertotavel)
RASTERWRITE=$(bench_tool "$BUILD" rasterwrite)
PAGEGEN=$(bench_tool "$BUILD" tavel_pagegen)
TIMEDRUN=$(bench_tool "$BUILD" tavel_timedrun)
BENCHPROG=$(bench_tool "$BUILD" tavel_bench)
PPD_FILE=$BENCH_ROOT/tests/data/tavel-test.ppd

WORK=$BUILD/bench-run
rm -rf "$WORK"
mkdir -p "$WORK/pages"
DUMPS_BEFORE=$WORK/dumps-before
trap 'bench_dumps_clean "$DUMPS_BEFORE"' EXIT
bench_dumps_mark "$DUMPS_BEFORE"

echo "# rastertotavel benchmarks"
echo "date: $(date)"
echo "machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p' | head -1)"
echo

if [ "$MICRO" != 0 ]; then
    echo "## Pipeline stages (Google Benchmark; photo-like page unless the name says text or blank)"
    "$BENCHPROG" --benchmark_min_time=0.2 | tee "$WORK/micro.txt"
    echo
fi

# timed LABEL COMMAND...: runs the command once, appends "LABEL seconds
# peak_kib" to the results, fails on a non-zero exit status.
RESULTS=$WORK/results.txt
timed() {
    local label=$1 line
    shift
    line=$("$TIMEDRUN" -o "$WORK/out" -- "$@") || bench_die "$label failed: $*"
    echo "$label $line" >>"$RESULTS"
}

filter_once() {
    local label=$1 halftone=$2 zip=$3 raster=$4
    PPD=$PPD_FILE timed "$label" "$FILTER" 1 bench bench 1 "HalftoneType=$halftone ZIP=$zip" \
        "$raster"
    bench_dumps_clean "$DUMPS_BEFORE"
}

: >"$RESULTS"
for entry in "${BENCH_SIZES[@]}"; do
    read -r size _ <<<"$entry"
    for content in "${BENCH_CONTENTS[@]}"; do
        bench_make_page "$PAGEGEN" "$RASTERWRITE" "$WORK/pages" "$size" "$content"
        page=$WORK/pages/$size-$content
        echo "timing $size $content ($REPS repetitions)" >&2
        for ((rep = 0; rep < REPS; rep++)); do
            timed "$size $content cat -" cat "$page.ras"
            timed "$size $content convert -" "$CONVERT" "$page.pgm" -dither FloydSteinberg \
                -monochrome "$WORK/im.pbm"
            for halftone in "${BENCH_HALFTONES[@]}"; do
                filter_once "$size $content $halftone raw" "$halftone" False "$page.ras"
                filter_once "$size $content $halftone zip" "$halftone" True "$page.ras"
            done
        done
    done
done

# Peak memory across a job: the A4 photo page once and JOB_PAGES times.
echo "timing the $JOB_PAGES-page job" >&2
job_page=$WORK/pages/job-page.pgm
"$PAGEGEN" photo 2480 3508 "$job_page"
pages=()
for ((i = 0; i < JOB_PAGES; i++)); do pages+=("$job_page"); done
"$RASTERWRITE" -o "$WORK/pages/job.ras" --res 300 "${pages[@]}"
for halftone in Burkes Tattoo_X8; do
    filter_once "job 1 $halftone raw" "$halftone" False "$WORK/pages/a4-photo.ras"
    filter_once "job $JOB_PAGES $halftone raw" "$halftone" False "$WORK/pages/job.ras"
done
rm -f "$WORK/pages/job.ras" "$job_page"

# Per label: the median time and the largest peak memory of its runs.
SUMMARY=$WORK/summary.txt
sort -k1,1 -k2,2 -k3,3 -k4,4 -k5,5g "$RESULTS" | awk '
    function flush() { if (n) print key, t[int((n + 1) / 2)], peak }
    { k = $1 " " $2 " " $3 " " $4
      if (k != key) { flush(); key = k; n = 0; peak = 0 }
      t[++n] = $5
      if ($6 > peak) peak = $6 }
    END { flush() }' >"$SUMMARY"

echo
echo "## Whole process: medians of $REPS runs, peak memory the largest of them"
echo
echo "| page | content | halftone | filter raw ms | filter ZIP ms | convert ms | cat ms" \
     "| convert / filter (raw, ZIP) | filter / cat (raw) | peak MiB (x page) | targets |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
for entry in "${BENCH_SIZES[@]}"; do
    read -r size width height _ <<<"$entry"
    for content in "${BENCH_CONTENTS[@]}"; do
        for halftone in "${BENCH_HALFTONES[@]}"; do
            awk -v size="$size" -v content="$content" -v h="$halftone" -v bytes=$((width * height)) '
                { t[$3 " " $4] = $5; peak[$3 " " $4] = $6 }
                END {
                    raw = t[h " raw"]; zip = t[h " zip"]; im = t["convert -"]; cat = t["cat -"]
                    mem = peak[h " raw"] > peak[h " zip"] ? peak[h " raw"] : peak[h " zip"]
                    memx = mem * 1024 / bytes
                    slow = raw > zip ? raw : zip
                    stencil = (h == "Tattoo" || h == "Tattoo_X8")
                    verdict = ""
                    if (size == "a4") {
                        need = stencil ? 20 : 15
                        verdict = sprintf("convert/filter >= %d: %s; ", need,
                                          im / slow >= need ? "met" : "MISSED")
                    }
                    verdict = verdict "memory < 8x: " (memx < 8 ? "met" : "MISSED")
                    printf "| %s | %s | %s | %.1f | %.1f | %.1f | %.1f | %.1f, %.1f | %.1f | %.1f (%.1f) | %s |\n",
                           size, content, h, raw * 1000, zip * 1000, im * 1000, cat * 1000,
                           im / raw, im / zip, raw / cat, mem / 1024, memx, verdict
                }' < <(grep "^$size $content " "$SUMMARY")
        done
    done
done

echo
echo "## Peak memory across a $JOB_PAGES-page A4 job (photo page, raw bitmaps)"
echo
echo "| halftone | 1 page: s, peak MiB | $JOB_PAGES pages: s, peak MiB | s per page | peak growth |"
echo "|---|---|---|---|---|"
for halftone in Burkes Tattoo_X8; do
    read -r _ _ _ _ t1 m1 < <(grep "^job 1 $halftone " "$SUMMARY")
    read -r _ _ _ _ tn mn < <(grep "^job $JOB_PAGES $halftone " "$SUMMARY")
    awk -v h="$halftone" -v t1="$t1" -v m1="$m1" -v tn="$tn" -v mn="$mn" -v n="$JOB_PAGES" 'BEGIN {
        printf "| %s | %.2f, %.1f | %.2f, %.1f | %.3f | %+.1f %% |\n",
               h, t1, m1 / 1024, tn, mn / 1024, tn / n, (mn - m1) * 100 / m1 }'
done

# The filter built as usual and with -U__SSE2__ (the stand-in for ARM),
# side by side on the same pages.
BENCH_BUILD="$BUILD" BENCH_REPS="$REPS" bash "$BENCH_ROOT/bench/vector_build.sh"

# The printer application side by side with LPrint: labels per second and
# peak memory of both servers on the same 4 x 6 in PWG raster.
BENCH_BUILD="$BUILD" bash "$BENCH_ROOT/bench/printerapp_bench.sh"
