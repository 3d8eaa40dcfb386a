#!/bin/bash
# Prints the bundled documents through the real CUPS filter chain (cupsfilter
# with ghostscript) into our filter, with the shipped PPDs, and checks the
# TSPL: the set-up commands that the PPD choices produce, and, decoded with
# tspl2png, that the document's black box is printed where the document put
# it.
#
#   cupsfilter_test.sh CASE
#
# Geometry of the documents (data/*.ps): the label is 4 x 6 in with a box
# from 0.5 in to 1.5 in across and from 1 in to 1.5 in down. At 203 dpi the
# label is 812 x 1218 dots and the box covers the dots 101.5..304.5 across
# and 203..304.5 down, so its inclusive corners are (101, 203) and (304, 304).
# At 300 dpi the label is 1200 x 1800 dots and the box (150, 300)..(449, 449).
source "$(dirname "$0")/e2e_lib.sh"

LABEL_PPD="$E2E_PPD_DIR/tavtl4.ppd"
STENCIL_PPD="$E2E_PPD_DIR/tavts8.ppd"
readonly LABEL_W=812 LABEL_H=1218
readonly BOX_X0=101 BOX_Y0=203 BOX_X1=304 BOX_Y1=304
# Edges may land one or two dots off, depending on how the RIP rounds.
readonly TOL=2

for tool in cupsfilter ps2pdf gs; do
    command -v "$tool" > /dev/null || fail "$tool is missing; run scripts/install-deps.sh"
done

e2e_setup

# The set-up block of a job with the label PPD's default choices.
DEFAULT_SETUP="GAP 2.0 mm, 0.0 mm
REFERENCE 0,0
DIRECTION 0,0
DENSITY 8
SET RIBBON OFF
OFFSET 0.0 mm
SET TEAR ON
SET PEEL OFF
SET CUTTER OFF
CLS"

# A PDF label with the default choices: one label of the right size, the box
# in place, the default set-up block, and 8-bit raster reaching the filter.
case_label_pdf() {
    local pdf
    pdf=$(make_pdf label_box)
    print_document "$LABEL_PPD" "$pdf" "$WORK/out.tspl"
    grep -q 'header.cupsBitsPerPixel:8' "$WORK/out.tspl.log" \
        || fail "the filter did not report 8-bit raster"
    grep -q 'header.cupsColorSpace:3' "$WORK/out.tspl.log" \
        || fail "the filter did not report colour space K"

    # The job opens with 64 line feeds, then the first command.
    [ "$(head -c 64 "$WORK/out.tspl" | tr -d '\n' | wc -c)" -eq 0 ] \
        && [ "$(head -c 69 "$WORK/out.tspl" | tail -c 5)" = "SIZE " ] \
        || fail "the stream does not start with 64 line feeds and SIZE"
    check_setup_block "$WORK/out.tspl" "SIZE 101.6 mm, 152.4 mm
$DEFAULT_SETUP" "default label"
    [ "$(print_lines "$WORK/out.tspl")" = "PRINT 1,1" ] || fail "expected one PRINT 1,1"

    [ "$(decode_labels "$WORK/out.tspl" "$WORK/label" 203)" -eq 1 ] || fail "expected one label"
    check_box_label "$WORK/label-1.pbm" $LABEL_W $LABEL_H $BOX_X0 $BOX_Y0 $BOX_X1 $BOX_Y1 $TOL
}

# PostScript straight into the chain at the 300 dpi choice.
case_label_300dpi() {
    print_document "$LABEL_PPD" "$E2E_DATA_DIR/label_box.ps" "$WORK/out.tspl" Resolution=300dpi
    [ "$(decode_labels "$WORK/out.tspl" "$WORK/label" 300)" -eq 1 ] || fail "expected one label"
    check_box_label "$WORK/label-1.pbm" 1200 1800 150 300 449 449 $TOL
}

# A PNG document goes through the image RIP. The PNG holds the label at
# 72 pixels per inch, so it fills the 4 x 6 in label at its natural size.
case_label_png() {
    gs -q -dSAFER -sDEVICE=pnggray -r72 -o "$WORK/label_box.png" "$E2E_DATA_DIR/label_box.ps" \
        || fail "gs could not render the PNG"
    print_document "$LABEL_PPD" "$WORK/label_box.png" "$WORK/out.tspl"
    [ "$(decode_labels "$WORK/out.tspl" "$WORK/label" 203)" -eq 1 ] || fail "expected one label"
    # One PNG pixel spans 2.8 dots, so the edges may move by up to 3 dots.
    check_box_label "$WORK/label-1.pbm" $LABEL_W $LABEL_H $BOX_X0 $BOX_Y0 $BOX_X1 $BOX_Y1 3
}

# Mirroring moves the box to the other side: dot x becomes 811 - x.
case_mirror() {
    print_document "$LABEL_PPD" "$E2E_DATA_DIR/label_box.ps" "$WORK/out.tspl" MirrorImage=True
    [ "$(decode_labels "$WORK/out.tspl" "$WORK/label" 203)" -eq 1 ] || fail "expected one label"
    check_box_label "$WORK/label-1.pbm" $LABEL_W $LABEL_H \
        $((LABEL_W - 1 - BOX_X1)) $BOX_Y0 $((LABEL_W - 1 - BOX_X0)) $BOX_Y1 $TOL
    # The print direction stays; mirroring is done on the image.
    setup_block "$WORK/out.tspl" | grep -qx 'DIRECTION 0,0' || fail "mirroring changed DIRECTION"
}

# A negative prints every dot except the box.
case_negative() {
    print_document "$LABEL_PPD" "$E2E_DATA_DIR/label_box.ps" "$WORK/out.tspl" NegativeImage=True
    [ "$(decode_labels "$WORK/out.tspl" "$WORK/label" 203)" -eq 1 ] || fail "expected one label"
    local pbm="$WORK/label-1.pbm" black area
    read -r black area < <(count_dots "$pbm" $((BOX_X0 + TOL + 1)) $((BOX_Y0 + TOL + 1)) \
        $((BOX_X1 - TOL)) $((BOX_Y1 - TOL))) || fail "cannot count dots"
    [ "$black" -eq 0 ] || fail "$black dots printed inside the negative box"
    # Everything above the box, and the corner right of and below it.
    read -r black area < <(count_dots "$pbm" 0 0 $LABEL_W $((BOX_Y0 - TOL))) || fail "cannot count dots"
    [ "$black" -eq "$area" ] || fail "only $black of $area dots above the box are printed"
    read -r black area < <(count_dots "$pbm" $((BOX_X1 + TOL + 1)) $((BOX_Y1 + TOL + 1)) $LABEL_W $LABEL_H) || fail "cannot count dots"
    [ "$black" -eq "$area" ] || fail "only $black of $area dots below the box are printed"
}

# Brightness adds five raster levels per step before the threshold halftone
# (dot above 128). The grey box carries 40 % ink, about level 102: no dot at
# the default 0, and at +10 about level 152, the whole box.
case_brightness() {
    print_document "$LABEL_PPD" "$E2E_DATA_DIR/label_grey_box.ps" "$WORK/plain.tspl"
    [ "$(decode_labels "$WORK/plain.tspl" "$WORK/plain" 203)" -eq 1 ] || fail "expected one label"
    local w h count rest
    read -r w h count rest < <("$E2E_PBM_PROBE" "$WORK/plain-1.pbm") || fail "cannot read the label"
    [ "$count" -eq 0 ] || fail "the light grey box printed $count dots at brightness 0"

    print_document "$LABEL_PPD" "$E2E_DATA_DIR/label_grey_box.ps" "$WORK/darker.tspl" Brightness=10
    [ "$(decode_labels "$WORK/darker.tspl" "$WORK/darker" 203)" -eq 1 ] || fail "expected one label"
    check_box_label "$WORK/darker-1.pbm" $LABEL_W $LABEL_H $BOX_X0 $BOX_Y0 $BOX_X1 $BOX_Y1 $TOL
}

# Offsets in millimetres become whole dots (8 per mm at 203 dpi): a listed
# choice of 2.0 mm across and a custom value of 1.5 mm down shift the box by
# 16 dots right and 12 dots down.
case_offsets() {
    print_document "$LABEL_PPD" "$E2E_DATA_DIR/label_box.ps" "$WORK/out.tspl" \
        PageOffsetX=2.0mm PageOffsetY=Custom.1.5
    [ "$(decode_labels "$WORK/out.tspl" "$WORK/label" 203)" -eq 1 ] || fail "expected one label"
    check_box_label "$WORK/label-1.pbm" $LABEL_W $LABEL_H \
        $((BOX_X0 + 16)) $((BOX_Y0 + 12)) $((BOX_X1 + 16)) $((BOX_Y1 + 12)) $TOL
    setup_block "$WORK/out.tspl" | grep -qx 'OFFSET 0.0 mm' || fail "the offset reached the OFFSET command"
}

# The compressed bitmap (mode 6) prints the same label; copies come from the
# job and reach the PRINT command (the previewer draws one image per PRINT).
case_zip_copies() {
    print_document "$LABEL_PPD" "$E2E_DATA_DIR/label_box.ps" "$WORK/out.tspl" ZIP=True copies=2
    grep -a -q "^BITMAP 0,0,$(((LABEL_W + 7) / 8)),$LABEL_H,6," "$WORK/out.tspl" \
        || fail "no compressed BITMAP command of the label's size"
    [ "$(print_lines "$WORK/out.tspl")" = "PRINT 1,2" ] || fail "expected one PRINT 1,2"
    [ "$(decode_labels "$WORK/out.tspl" "$WORK/label" 203)" -eq 1 ] || fail "expected one label"
    check_box_label "$WORK/label-1.pbm" $LABEL_W $LABEL_H $BOX_X0 $BOX_Y0 $BOX_X1 $BOX_Y1 $TOL
}

# With recording on, the filter copies the whole stream into a file named
# from the PPD's recording prefix, here one in a folder of this test: other
# jobs record into the spool folder too.
case_recording() {
    mkdir "$WORK/recordings"
    sed "s|^\\*tavelFilterOutputFile: .*|*tavelFilterOutputFile: \"$WORK/recordings/tavel-commands\"|" \
        "$LABEL_PPD" > "$WORK/recording.ppd"
    grep -q "^\\*tavelFilterOutputFile: \"$WORK/" "$WORK/recording.ppd" || fail "$LABEL_PPD has no recording prefix"
    print_document "$WORK/recording.ppd" "$E2E_DATA_DIR/label_box.ps" "$WORK/out.tspl" RecordPrinterCommands=1
    local recordings
    recordings=$(find "$WORK/recordings" -type f | grep '/tavel-commands-[0-9]\{14\}\.bin$' || true)
    [ -n "$recordings" ] || fail "no recording file in $WORK/recordings"
    [ "$(echo "$recordings" | wc -l)" -eq 1 ] || fail "more than one recording file: $recordings"
    cmp -s "$recordings" "$WORK/out.tspl" || fail "the recording differs from the printed stream"
}

# Each choice of the label PPD's set-up options gives its TSPL command. The
# SIZE line is left out: it follows the small page's raster size.
expect_setup() {
    local expected=$1
    shift
    print_document "$LABEL_PPD" "$E2E_DATA_DIR/label_box.ps" "$WORK/setup.tspl" \
        PageSize=1x2Rotated.Fullbleed "$@"
    check_setup_block "$WORK/setup.tspl" "$expected" "options $*" 1
}

# The default block with the text FROM (one or more whole lines) replaced by
# TO; an empty TO drops those lines.
default_with() {
    local from=$1 to=$2
    if [ -n "$to" ]; then
        echo "${DEFAULT_SETUP/"$from"/"$to"}"
    else
        echo "${DEFAULT_SETUP/"$from"$'\n'/}"
    fi
}

case_setup_options() {
    expect_setup "$(default_with 'GAP 2.0 mm, 0.0 mm' 'BLINE 3.0 mm, 0.0 mm')" \
        PaperType=LabelMark GapsHeight=3mm
    expect_setup "$(default_with 'GAP 2.0 mm, 0.0 mm' 'GAP 5.0 mm, 0.0 mm')" \
        PaperType=LabelGaps GapsHeight=5mm
    expect_setup "$(default_with 'GAP 2.0 mm, 0.0 mm' 'GAP 0, 0')" PaperType=Continue
    expect_setup "$(default_with 'GAP 2.0 mm, 0.0 mm' 'GAP 0, 0')" GapsHeight=0mm
    expect_setup "$(default_with 'GAP 2.0 mm, 0.0 mm' '')" PaperType=Normal
    expect_setup "$(default_with 'DIRECTION 0,0' 'DIRECTION 1,0')" Origin=Rotation180
    expect_setup "$(default_with 'DIRECTION 0,0' $'DIRECTION 0,0\nSPEED 4')" PrintSpeed=4
    expect_setup "$(default_with 'DENSITY 8' 'DENSITY 15')" Darkness=15
    expect_setup "$(default_with 'DENSITY 8' 'DENSITY 0')" Darkness=0
    expect_setup "$(default_with 'SET RIBBON OFF' 'SET RIBBON ON')" MediaMethod=Transfer

    local tear_peel_cut=$'SET TEAR ON\nSET PEEL OFF\nSET CUTTER OFF'
    expect_setup "$(default_with "$tear_peel_cut" $'SET TEAR OFF\nSET PEEL ON\nSET CUTTER OFF')" PostAction=PeelOff
    expect_setup "$(default_with "$tear_peel_cut" $'SET TEAR OFF\nSET PEEL OFF\nSET CUTTER ON')" PostAction=Cut
    expect_setup "$(default_with "$tear_peel_cut" $'SET TEAR OFF\nSET PEEL OFF\nSET CUTTER ON')" PostAction=PartialCut
    expect_setup "$(default_with "$tear_peel_cut" $'SET TEAR OFF\nSET PEEL OFF\nSET CUTTER OFF')" PostAction=None
    expect_setup "$(default_with "$tear_peel_cut" '')" PostAction=Normal
}

# The stencil printer's default sheet is A4; its raster covers only the
# imageable area inside the stencil frame margins. On the 105 x 148 mm sheet
# (297.64 x 419.53 pt) the area starts 7.09 pt from the left and 42.52 pt
# from the top and is 1181 x 1394 dots at 300 dpi: SIZE 100.0 mm, 118.0 mm.
# The box, from 72 to 144 pt across and 107.53 to 143.53 pt down, lands on
# the dots 270.5..570.5 across and 270.9..420.9 down. The default halftone
# is the stencil method, which keeps a solid box solid.
case_stencil() {
    print_document "$STENCIL_PPD" "$E2E_DATA_DIR/stencil_box.ps" "$WORK/out.tspl" PageSize=Tattoo_A6
    check_setup_block "$WORK/out.tspl" "SIZE 100.0 mm, 118.0 mm
GAP 0, 0
REFERENCE 0,0
DIRECTION 0,0
DENSITY 8
SET RIBBON OFF
OFFSET 0.0 mm
CLS" "default stencil sheet"
    [ "$(decode_labels "$WORK/out.tspl" "$WORK/sheet" 300)" -eq 1 ] || fail "expected one sheet"
    check_box_label "$WORK/sheet-1.pbm" 1181 1394 271 271 570 420 $TOL
}

# The default A4 sheet: the area inside the margins (14.17 pt left and right,
# 31.18 pt top and bottom) is 200 x 275 mm, 2362 x 3248 dots. The box lands
# on the dots 241.0..541.0 across and 2077.9..2227.9 down; the RIP rounds
# the margins of this larger page to within 3 dots.
case_stencil_a4() {
    print_document "$STENCIL_PPD" "$E2E_DATA_DIR/stencil_box.ps" "$WORK/out.tspl"
    setup_block "$WORK/out.tspl" | head -n 1 | grep -qx 'SIZE 200.0 mm, 275.0 mm' \
        || fail "the A4 sheet is not sent as SIZE 200.0 mm, 275.0 mm"
    [ "$(decode_labels "$WORK/out.tspl" "$WORK/sheet" 300)" -eq 1 ] || fail "expected one sheet"
    check_box_label "$WORK/sheet-1.pbm" 2362 3248 241 2078 540 2227 3
}

case_name=${1:-}
declare -F "case_$case_name" > /dev/null || fail "unknown case '$case_name'"
"case_$case_name"
echo "PASS: $case_name"
