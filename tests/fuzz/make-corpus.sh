#!/bin/bash
# Writes the fuzzer's seed corpus into tests/fuzz/corpus: small raster jobs
# made with rasterwrite, combined with option strings and PPD texts, in the
# input format of fuzz_job.h.
# Usage: tests/fuzz/make-corpus.sh [RASTERWRITE]   (default build/tools/rasterwrite)
set -euo pipefail

HERE="$(cd "$(dirname "$0")" && pwd)"
RASTERWRITE="${1:-$HERE/../../build/tools/rasterwrite}"
OUT="$HERE/corpus"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$OUT"
rm -f "$OUT"/seed-*

# le16 N: two bytes, little endian.
le16() {
    printf "\\x$(printf %02x $(( $1 & 255 )))\\x$(printf %02x $(( ($1 >> 8) & 255 )))"
}

# seed NAME MODE OPTIONS PPD_TEXT_FILE RASTER_FILE
seed() {
    local name="$1" mode="$2" options="$3" ppd="$4" raster="$5"
    {
        printf "\\x$(printf %02x "$mode")"
        le16 "${#options}"
        le16 "$(stat -c %s "$ppd")"
        printf '%s' "$options"
        cat "$ppd" "$raster"
    } > "$OUT/seed-$name"
}

rw() { "$RASTERWRITE" -o "$WORK/$1.ras" "${@:2}"; }
rw grey     fill:24x12:128
rw edges    rect:20x10:3,2,9,5:255
rw two      fill:16x8:0 --copies 3 rect:16x8:4,4,8,4:200
rw res300   --res 300 fill:13x7:90
rw resxy    --res 203x300 rect:9x9:0,0,4,9:255
rw padded   --bpl 24 rect:17x6:2,1,5,3:255
rw bits1    --bits 1 fill:16x8:255
rw bits16   fill:8x4:10 --bits 16 fill:8x4:10
rw nodata   --no-data fill:32x16:1
rw headwide --header-width 40 fill:16x8:77
rw named    --pagesize w144h72 fill:8x8:255

: > "$WORK/none.ppd"
printf '*DefaultPageOffsetX: Custom.2.5\n*PageOffsetX Custom.2.5/x: ""\n' > "$WORK/offset.ppd"
printf '*DefaultDarkness: 15\n*Darkness 15/15: ""\n*DefaultBrightness: 20\n' > "$WORK/levels.ppd"
cat > "$WORK/small.ppd" <<'PPD'
*PPD-Adobe: "4.3"
*OpenUI *PageSize: PickOne
*DefaultPageSize: w144h72
*PageSize w144h72/2 x 1 in: ""
*CloseUI: *PageSize
*DefaultPaperDimension: w144h72
*PaperDimension w144h72/2 x 1 in: "144 72"
*OpenUI *Resolution: PickOne
*DefaultResolution: 300dpi
*Resolution 300dpi/300 dpi: ""
*CloseUI: *Resolution
*OpenUI *HalftoneType: PickOne
*DefaultHalftoneType: Tattoo
*HalftoneType Tattoo/Tattoo: ""
*CloseUI: *HalftoneType
PPD

seed grey-defaults      0 ""                                         "$WORK/none.ppd"   "$WORK/grey.ras"
seed edges-floyd        0 "HalftoneType=FloydSteinberg"              "$WORK/none.ppd"   "$WORK/edges.ras"
seed edges-tattoo       0 "HalftoneType=Tattoo"                      "$WORK/none.ppd"   "$WORK/edges.ras"
seed edges-tattoo-x8    0 "HalftoneType=Tattoo_X8 MirrorImage=True"  "$WORK/none.ppd"   "$WORK/edges.ras"
seed two-zip            0 "ZIP=True NegativeImage=True"              "$WORK/none.ppd"   "$WORK/two.ras"
seed res300-offsets     0 "PageOffsetX=2 PageOffsetY=Custom.-1.5 Resolution=300dpi" "$WORK/none.ppd" "$WORK/res300.ras"
seed resxy-ordered      0 "HalftoneType=Ordered Brightness=20"       "$WORK/none.ppd"   "$WORK/resxy.ras"
seed padded-stucki      0 "HalftoneType=Stucki Origin=Rotation180"   "$WORK/none.ppd"   "$WORK/padded.ras"
seed bits1              0 ""                                         "$WORK/none.ppd"   "$WORK/bits1.ras"
seed bits16-second      0 "HalftoneType=Sierra"                      "$WORK/none.ppd"   "$WORK/bits16.ras"
seed nodata             0 "PaperType=LabelMark GapsHeight=2"         "$WORK/none.ppd"   "$WORK/nodata.ras"
seed headwide-burkes    0 "HalftoneType=Burkes PostAction=Cut"       "$WORK/none.ppd"   "$WORK/headwide.ras"
seed named-record       0 "RecordPrinterCommands=1 MediaMethod=Transfer" "$WORK/none.ppd" "$WORK/named.ras"
seed ppd-offset         0 "HalftoneType=JarvisJudiceNinke"           "$WORK/offset.ppd" "$WORK/grey.ras"
seed ppd-levels         0 "HalftoneType=StevensonArce"               "$WORK/levels.ppd" "$WORK/edges.ras"
seed ppd-small-only     1 "PrintSpeed=2.5"                           "$WORK/small.ppd"  "$WORK/res300.ras"
seed no-ppd             2 "PageSize=w288h432"                        "$WORK/none.ppd"   "$WORK/grey.ras"
ls -l "$OUT" | tail -n +2 | wc -l
