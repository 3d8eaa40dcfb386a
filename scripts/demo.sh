#!/bin/bash
# make demo: prints the bundled sample label (or the document named by DOC)
# through the filter, then shows the TSPL it wrote and where a PNG picture
# of the printed label is.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
OUT="$ROOT/demo-out"
OPTIONS="${OPTIONS:-HalftoneType=StevensonArce}"
FILTER="$BUILD/filter/rastertotavel"
TSPL2PNG="$BUILD/tools/tspl2png"
mkdir -p "$OUT"
rm -f "$OUT"/*.png

# The filter dumps every page as BMP into the CUPS temporary folder; the demo
# removes the dumps it caused.
DUMPS=/var/spool/cups/tmp
before="$(ls "$DUMPS" 2>/dev/null | sort || true)"
cleanup_dumps() {
    [ -d "$DUMPS" ] || return 0
    comm -13 <(echo "$before") <(ls "$DUMPS" | sort) | grep -E '^(origin|dithered)_.*\.bmp$' |
        while read -r name; do rm -f "$DUMPS/$name"; done || true
}
trap cleanup_dumps EXIT

if [ -n "${DOC:-}" ]; then
    DOC="$(cd "$(dirname "$DOC")" && pwd)/$(basename "$DOC")"
    PPD_FILE="${PPD_FILE:-$BUILD/ppd/tavtl4.ppd}"
    echo "Printing $DOC through the CUPS filter chain with $(basename "$PPD_FILE")"
    # One job option per word of OPTIONS.
    read -r -a OPTION_WORDS <<< "$OPTIONS"
    LOG="$OUT/filter.log" bash "$ROOT/scripts/print-document.sh" "$BUILD" "$PPD_FILE" "$DOC" \
        "$OUT/document.tspl" "${OPTION_WORDS[@]}"
    TSPL="$OUT/document.tspl"
else
    PPD_FILE="${PPD_FILE:-$ROOT/tests/data/tavel-test.ppd}"
    echo "Sample job: $ROOT/demo/sample-label.pgm, a 3 x 2 in label at 203 dpi"
    "$BUILD/tools/rasterwrite" -o "$OUT/sample.ras" --res 203 "$ROOT/demo/sample-label.pgm"
    PPD="$PPD_FILE" "$FILTER" 1 demo "Sample label" 1 "$OPTIONS" "$OUT/sample.ras" \
        > "$OUT/sample.tspl" 2> "$OUT/filter.log"
    TSPL="$OUT/sample.tspl"
fi

echo
echo "TSPL written by the filter (options: $OPTIONS), up to the first bitmap:"
echo "----------------------------------------------------------------"
LC_ALL=C sed -n '/^BITMAP/q;/^\r\{0,1\}$/d;p' "$TSPL" | tr -d '\r'
echo "----------------------------------------------------------------"
echo
echo "What the printer receives, command by command:"
"$TSPL2PNG" --info "$TSPL"
"$TSPL2PNG" -o "$OUT/label" "$TSPL" > /dev/null
echo
echo "TSPL stream:   $TSPL"
[ -f "$OUT/filter.log" ] && echo "Filter log:    $OUT/filter.log"
for png in "$OUT"/label-*.png; do
    echo "Label picture: $png"
done
