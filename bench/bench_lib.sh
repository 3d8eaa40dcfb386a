# Shared by bench/run.sh and scripts/check-identical.sh: building the filter
# and the benchmark tools, making the benchmark pages, and removing the BMP
# page dumps that the filter leaves behind. Source it; it defines functions
# and constants only.

# The halftone types, in the order of their values 0..9.
BENCH_HALFTONES=(None FloydSteinberg Ordered Burkes Stucki JarvisJudiceNinke Sierra StevensonArce
                 Tattoo Tattoo_X8)
# NAME WIDTH HEIGHT DPI of the measured page sizes; keep in step with
# bench_pages.cpp.
BENCH_SIZES=("label 812 1218 203" "a4 2480 3508 300")
BENCH_CONTENTS=(text photo blank)
BENCH_DUMP_DIR=/var/spool/cups/tmp

# The reference tool of the comparisons: ImageMagick's convert.
BENCH_CONVERT=/usr/bin/convert

# bench_install_imagemagick: installs ImageMagick unless it is there.
bench_install_imagemagick() {
    [ -x "$BENCH_CONVERT" ] && return 0
    echo "Installing imagemagick (the reference tool)"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends imagemagick
}

bench_die() {
    echo "$(basename "$0"): $*" >&2
    exit 2
}

# bench_build DIR: configures the bench folder on its own (it brings in the
# whole project with the project's own flags) and builds the filter, the
# raster writer and the benchmark tools into DIR. Extra arguments name more
# targets.
bench_build() {
    local dir=$1
    shift
    mkdir -p "$dir"
    cmake -S "$BENCH_ROOT/bench" -B "$dir" -G Ninja >"$dir/configure.log" 2>&1 ||
        { cat "$dir/configure.log" >&2; bench_die "configuring $dir failed"; }
    cmake --build "$dir" --target rastertotavel rasterwrite tavel_pagegen tavel_timedrun "$@" ||
        bench_die "building in $dir failed"
}

# bench_tool DIR NAME: path of the built executable NAME below DIR, never
# one of the other builds that bench/vector_build.sh keeps in DIR/vector-*
# (the filter built without SSE2 among them).
bench_tool() {
    local found
    found=$(find "$1" -path "$1/vector-*" -prune -o -type f -name "$2" -perm -u+x -print -quit)
    [ -n "$found" ] || bench_die "$2 not found below $1"
    echo "$found"
}

# bench_make_page PAGEGEN RASTERWRITE OUTDIR SIZE CONTENT: writes
# OUTDIR/SIZE-CONTENT.ras (the raster the filter reads) and
# OUTDIR/SIZE-CONTENT.pgm (the same page as an ordinary PGM, white paper
# 255, for ImageMagick), unless they exist already.
bench_make_page() {
    local pagegen=$1 rasterwrite=$2 out=$3 size=$4 content=$5 entry name width height dpi
    for entry in "${BENCH_SIZES[@]}"; do
        read -r name width height dpi <<<"$entry"
        [ "$name" = "$size" ] || continue
        local base="$out/$size-$content"
        [ -s "$base.ras" ] && [ -s "$base.pgm" ] && return 0
        "$pagegen" "$content" "$width" "$height" "$base.ink.pgm" &&
            "$rasterwrite" -o "$base.ras" --res "$dpi" "$base.ink.pgm" &&
            "$pagegen" "$content" "$width" "$height" "$base.pgm" --paper ||
            bench_die "cannot make page $base"
        rm -f "$base.ink.pgm"
        return 0
    done
    bench_die "unknown page size $size"
}

# The filter writes origin_*.bmp and dithered_*.bmp for every page. Runs
# remember the dumps present before (bench_dumps_mark FILE) and delete the
# ones that appeared since (bench_dumps_clean FILE), so that repeated runs
# never fill the disk and dumps of other programs stay.
bench_dumps_list() {
    [ -d "$BENCH_DUMP_DIR" ] || return 0
    find "$BENCH_DUMP_DIR" -maxdepth 1 -type f \( -name 'origin_*.bmp' -o -name 'dithered_*.bmp' \) |
        sort
}

bench_dumps_mark() {
    bench_dumps_list >"$1"
}

bench_dumps_clean() {
    bench_dumps_list | comm -13 "$1" - | while IFS= read -r dump; do
        rm -f -- "$dump"
    done
}
