#!/bin/bash
# The printer application side by side with LPrint (Debian's lprint, a
# PAPPL label printer application): the same 4 x 6 in label, 203 dpi, as
# an 8-bit grey PWG raster, sent JOBS times with ipptool (one job at a time,
# each waited for) to a TL-4 printer of tavel-printer-app and to a Zebra ZPL
# 4-inch 203 dpi printer of lprint, both on file:// devices. Prints labels
# per second and each server's peak memory (VmHWM) after its jobs. One more
# row sends the same JOBS labels from 8 clients at once to
# tavel-printer-app (LPrint 1.1.0 refuses jobs as busy and can deadlock
# there, so it has no such row).
#
# LPrint listens on every address whatever it is told, so both servers run
# in a network namespace of their own (unshare -n) whose only interface is
# the loopback.
#
# Settings (environment): BENCH_BUILD (build-bench), BENCH_APP_JOBS (40),
# BENCH_APP_ROUNDS (3).
set -euo pipefail

BENCH_ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$BENCH_ROOT"
# shellcheck source=bench/bench_lib.sh
source bench/bench_lib.sh

BUILD=${BENCH_BUILD:-build-bench}
JOBS=${BENCH_APP_JOBS:-40}
ROUNDS=${BENCH_APP_ROUNDS:-3}
TESTS=$BENCH_ROOT/tests/printerapp

# One server: starts it, creates printer "bench" with DRIVER, sets the
# halftone default when given, sends the label JOBS times from CLIENTS
# clients at once and prints "labels-per-second peak-KiB".
measure_server() {
    local name=$1 driver=$2 halftone=$3 clients=$4
    shift 4
    local dir=$WORK/$name-${halftone:-default} port=18600 pid i
    rm -rf "$dir"
    mkdir -p "$dir/spool" "$dir/home" "$dir/out"
    HOME=$dir/home "$@" server -o server-port=$port -o listen-hostname=127.0.0.1 \
        -o spool-directory="$dir/spool" -o log-file="$dir/log" -o log-level=error \
        -o state-file="$dir/state" -o file-device-directory="$dir" > "$dir/stderr" 2>&1 &
    pid=$!
    for i in $(seq 1 100); do
        ipptool -q "ipp://127.0.0.1:$port/ipp/system" "$TESTS/get-system-attributes.test" \
            2> /dev/null && break
        sleep 0.1
    done
    ipptool -q -d driver="$driver" -d device="file://$dir/out?ext=out" -d name=bench \
        "ipp://127.0.0.1:$port/ipp/system" "$TESTS/create-printer.test" ||
        bench_die "$name: could not create the printer"
    if [ -n "$halftone" ]; then
        ipptool -q -d value="$halftone" "ipp://127.0.0.1:$port/ipp/print/bench" \
            "$TESTS/set-halftone-default.test" || bench_die "$name: could not set the halftone"
    fi
    sleep 1
    local start end
    start=$(date +%s.%N)
    local client pids=()
    for client in $(seq 1 "$clients"); do
        (
            for i in $(seq "$client" "$clients" "$JOBS"); do
                ipptool -q -d filetype=image/pwg-raster -d jobname="label$((i % 2))" \
                    -f "$WORK/label.pwg" "ipp://127.0.0.1:$port/ipp/print/bench" \
                    "$TESTS/print-plain.test" || bench_die "$name: job $i failed"
            done
        ) &
        pids+=($!)
    done
    for i in "${pids[@]}"; do
        wait "$i" || bench_die "$name: a client failed"
    done
    end=$(date +%s.%N)
    local peak
    peak=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status")
    [ -s "$dir/out/label1.out" ] || bench_die "$name: the printer received nothing"
    kill -TERM "$pid"
    wait "$pid" 2> /dev/null || true
    awk -v n="$JOBS" -v s="$start" -v e="$end" -v m="$peak" 'BEGIN { printf "%.1f %d\n", n / (e - s), m }'
}

# Every configuration is measured ROUNDS times, the rounds interleaved so
# that a busy spell of the machine spreads over all of them; the median of
# each is printed.
measure_all() {
    local app=$1 lprint=$2 round halftone rate peak
    local configs=("tavel threshold" "tavel ordered-4x4" "tavel burkes" "tavel tattoo" "lprint -"
        "tavel-8-clients threshold")
    for round in $(seq 1 "$ROUNDS"); do
        for config in "${configs[@]}"; do
            read -r server halftone <<< "$config"
            case $server in
            tavel)
                read -r rate peak < <(measure_server tavel tavel_tl4_203dpi "$halftone" 1 "$app") ;;
            tavel-8-clients)
                read -r rate peak < <(measure_server tavel tavel_tl4_203dpi "$halftone" 8 "$app") ;;
            *)
                read -r rate peak < <(measure_server lprint zpl_4inch-203dpi-dt "" 1 "$lprint") ;;
            esac
            echo "$server $halftone $rate $peak" >> "$WORK/results"
        done
    done
    echo "| server | halftone | labels/s (median of $ROUNDS) | peak MiB |"
    echo "|---|---|---|---|"
    for config in "${configs[@]}"; do
        read -r server halftone <<< "$config"
        grep "^$server $halftone " "$WORK/results" | sort -k3 -n | awk -v n="$ROUNDS" '
            { rate[NR] = $3; if ($4 > peak) peak = $4 }
            END {
                name = $1 == "tavel" ? "tavel-printer-app" : \
                       $1 == "tavel-8-clients" ? "tavel-printer-app, 8 clients at once" : \
                       "lprint (ZPL 4-inch 203 dpi)"
                h = $2 == "-" ? "its own" : $2
                printf "| %s | %s | %.1f | %.1f |\n", name, h, rate[int((n + 1) / 2)], peak / 1024
            }'
    done
}

if [ "${1:-}" = "--measure" ]; then
    WORK=$2
    measure_all "$3" "$4"
    exit 0
fi

command -v lprint > /dev/null || bench_die "lprint is missing; run scripts/install-deps.sh"
bench_build "$BUILD" tavel-printer-app app_pages
APP=$(bench_tool "$BUILD" tavel-printer-app)
PAGEGEN=$(bench_tool "$BUILD" tavel_pagegen)
APP_PAGES=$(bench_tool "$BUILD" app_pages)
WORK=$(readlink -f "$BUILD")/printerapp-bench
rm -rf "$WORK"
mkdir -p "$WORK"
DUMPS_BEFORE=$WORK/dumps-before
trap 'bench_dumps_clean "$DUMPS_BEFORE"' EXIT
bench_dumps_mark "$DUMPS_BEFORE"

"$PAGEGEN" photo 812 1218 "$WORK/label.pgm"
"$APP_PAGES" "$WORK/label.pgm" 203 "$WORK/label.pwg" "$WORK/label.png" oe_4x6-label_4x6in

echo
echo "## Printer application: $JOBS labels of 4 x 6 in (photo, PWG raster, 203 dpi) sent with ipptool"
echo
unshare -n bash -c 'ip link set lo up && exec bash "$0" --measure "$1" "$2" "$3"' \
    "$0" "$WORK" "$APP" "$(command -v lprint)" ||
    bench_die "the comparison needs a network namespace (unshare -n, as root)"
