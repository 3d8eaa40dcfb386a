#!/bin/bash
# Instructions an ARM build of the filter executes on a small photo page,
# counted under qemu-user: qemu logs every block of guest code it translates
# (in_asm) and every time a block runs (exec, with chaining off so that
# none is skipped), and each run counts the instructions of its block.
# Prints, per pixel, the total of the process and that of the halftoning
# functions (the diffusion, the threshold matrices and the packing of
# 1-bit rows).
# Counts, unlike times under an emulator, compare two builds fairly. The
# page dumps are off (SavePageImages=False): their thread's writing would
# count too, and it depends on the file system.
#
# Usage: bench/arm_instructions.sh ARCH FILTER [HALFTONE...]
#   ARCH: arm64 or armhf; FILTER: a rastertotavel built for it (for example
#   build-arm64/filter/rastertotavel after scripts/arm-test.sh).
#   HALFTONE: the types to count (default FloydSteinberg Ordered Burkes Stucki).
# Settings (environment): BENCH_BUILD (build-bench).
set -euo pipefail

BENCH_ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$BENCH_ROOT"
# shellcheck source=bench/bench_lib.sh
source bench/bench_lib.sh

[ $# -ge 2 ] || { sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
case $1 in
arm64) QEMU=qemu-aarch64 ;;
armhf) QEMU=qemu-arm ;;
*) bench_die "unknown architecture $1 (arm64 or armhf)" ;;
esac
FILTER=$(readlink -f "$2")
[ -x "$FILTER" ] || bench_die "$2 is not an executable"
shift 2
HALFTONES=("$@")
[ ${#HALFTONES[@]} -gt 0 ] || HALFTONES=(FloydSteinberg Ordered Burkes Stucki)
command -v "$QEMU" >/dev/null || bench_die "$QEMU is not installed"

BUILD=${BENCH_BUILD:-build-bench}
bench_build "$BUILD"
WORK=$BUILD/arm-instructions
mkdir -p "$WORK"
# A page small enough for a full trace (about 60 000 pixels).
WIDTH=203
HEIGHT=304
"$(bench_tool "$BUILD" tavel_pagegen)" photo "$WIDTH" "$HEIGHT" "$WORK/page.pgm" &&
    "$(bench_tool "$BUILD" rasterwrite)" -o "$WORK/page.ras" --res 203 "$WORK/page.pgm" ||
    bench_die "cannot make the page"

DUMPS_BEFORE=$WORK/dumps-before
bench_dumps_mark "$DUMPS_BEFORE"
trap 'bench_dumps_clean "$DUMPS_BEFORE"' EXIT

echo "| halftone | instructions per pixel: halftoning | whole process |"
echo "|---|---|---|"
for halftone in "${HALFTONES[@]}"; do
    PPD=$BENCH_ROOT/tests/data/tavel-test.ppd "$QEMU" -L / -d in_asm,exec,nochain -D /dev/stderr \
        "$FILTER" 1 bench bench 1 "HalftoneType=$halftone ZIP=False SavePageImages=False" "$WORK/page.ras" 2>&1 >/dev/null |
        awk -v h="$halftone" -v pixels=$((WIDTH * HEIGHT)) '
            /^IN: / { block = ""; symbol = $2; next }
            /^0x[0-9a-f]+: / {
                if (block == "") { block = $1; sub(":", "", block); size[block] = 0; name[block] = symbol }
                size[block]++
                next
            }
            /^Trace / {
                match($0, /\/[0-9a-f]+\//)
                pc = substr($0, RSTART + 1, RLENGTH - 2)
                sub(/^0+/, "", pc)
                runs["0x" pc]++
            }
            END {
                for (b in runs) {
                    if (!(b in size)) { print "unknown block " b > "/dev/stderr"; exit 1 }
                    total += runs[b] * size[b]
                    if (name[b] ~ /(Error|Lane)Diffuser|diffuseI|TapsBelow|TapAmounts|transposeBytes|countCarrying|packRow|threshold(Into|With)/)
                        halftoning += runs[b] * size[b]
                }
                printf "| %s | %.1f | %.1f |\n", h, halftoning / pixels, total / pixels
            }'
    bench_dumps_clean "$DUMPS_BEFORE"
done
