#!/bin/bash
# The automatic halftone on a mixed label: a Code 128, an EAN-13 and a QR
# code (rendered anti-aliased, so their edges hold grey as a RIP or a scaled
# image leaves them), small text and a photograph, printed through the
# filter with the label PPD's Auto choice. Every barcode must decode from
# the printed label as it does with the threshold, and the photo must keep
# its tone within 1.25 times the error of the Sierra diffusion.
source "$(dirname "$0")/e2e_lib.sh"

for tool in zbarimg qrencode barcode gs; do
    command -v "$tool" > /dev/null || fail "$tool is missing; run scripts/install-deps.sh"
done

LABEL_PPD="$E2E_PPD_DIR/tavtl4.ppd"
# A 4 x 6 in label at 203 dpi, and the photo on it.
readonly WIDTH=812 HEIGHT=1218
readonly PHOTO_X=430 PHOTO_Y=440 PHOTO_W=360 PHOTO_H=520
# The content of the three codes, as zbarimg reports them.
readonly CODE128=TAVEL-128 EAN13=4006381333931 QR=https://tavel.example/label/42

e2e_setup

# render EPS OUT: an EPS page as an anti-aliased grey image at 203 dpi.
render() {
    gs -q -dSAFER -dEPSCrop -dGraphicsAlphaBits=4 -dTextAlphaBits=4 -sDEVICE=pgmraw -r203 \
        -o "$2" "$1" || fail "gs could not render $(basename "$1")"
}

barcode -E -n -e 128b -b "$CODE128" -o "$WORK/code128.eps" || fail "barcode (Code 128) failed"
barcode -E -n -e ean13 -b "${EAN13:0:12}" -o "$WORK/ean13.eps" || fail "barcode (EAN-13) failed"
qrencode -t EPS -s 2 -m 2 -o "$WORK/qr.eps" "$QR" || fail "qrencode failed"
cat > "$WORK/text.eps" <<'PS'
%!PS-Adobe-3.0 EPSF-3.0
%%BoundingBox: 0 0 170 60
/Helvetica findfont 7 scalefont setfont
4 48 moveto (Lot 42-0815  Best before 2031-05-04) show
4 36 moveto (Keep cool and dry. Made by Tavel.) show
4 24 moveto (0123456789 ABCDEFGHIJKLMNOPQRSTUVWXYZ) show
4 12 moveto (abcdefghijklmnopqrstuvwxyz) show
PS
for piece in code128 ean13 qr text; do
    render "$WORK/$piece.eps" "$WORK/$piece.pgm"
done
"$E2E_MIXED_LABEL" compose "$WORK/label.pgm" $WIDTH $HEIGHT \
    "piece:40,40:$WORK/code128.pgm" "piece:520,40:$WORK/qr.pgm" \
    "piece:40,440:$WORK/ean13.pgm" "piece:40,1000:$WORK/text.pgm" \
    "photo:$PHOTO_X,$PHOTO_Y,$PHOTO_W,$PHOTO_H" || fail "could not compose the label"
"$E2E_RASTERWRITE" -o "$WORK/label.ras" --res 203 "$WORK/label.pgm" \
    || fail "could not write the raster"

# print HALFTONE: the label through the filter, decoded to $WORK/HALFTONE-1.pbm.
print() {
    local halftone=$1
    PPD="$LABEL_PPD" "$E2E_FILTER" 1 test mixed 1 "HalftoneType=$halftone" "$WORK/label.ras" \
        > "$WORK/$halftone.tspl" 2> "$WORK/$halftone.log" \
        || fail "the filter failed with HalftoneType=$halftone"
    grep -q "settings->halftoneType:$2\$" "$WORK/$halftone.log" \
        || fail "HalftoneType=$halftone did not select type $2"
    [ "$(decode_labels "$WORK/$halftone.tspl" "$WORK/$halftone" 203)" -eq 1 ] \
        || fail "HalftoneType=$halftone: expected one label"
}

# The codes zbarimg finds on a print, sorted, one per line.
codes_of() {
    zbarimg -q "$WORK/$1-1.pbm" 2> /dev/null | sort || true
}

print None 0
print JarvisJudiceNinke 5
print Auto 10

expected=$(printf '%s\n' "CODE-128:$CODE128" "EAN-13:$EAN13" "QR-Code:$QR" | sort)
threshold_codes=$(codes_of None)
[ "$threshold_codes" = "$expected" ] || fail "the threshold print does not decode as expected:
$threshold_codes"
auto_codes=$(codes_of Auto)
[ "$auto_codes" = "$threshold_codes" ] || fail "the Auto print decodes differently:
--- threshold
$threshold_codes
--- auto
$auto_codes"

# Where the codes and the text lie (gs renders the pieces at these sizes):
# the automatic halftone must print them dot for dot as the threshold does,
# while a diffusion changes their grey edges.
for box in "Code 128:40,40,434,282" "QR code:520,40,164,164" "EAN-13:40,440,350,282" \
    "text:40,1000,480,169"; do
    name=${box%%:*} rect=${box#*:}
    auto_diff=$("$E2E_MIXED_LABEL" differ "$WORK/None-1.pbm" "$WORK/Auto-1.pbm" "$rect") \
        || fail "could not compare the $name"
    sierra_diff=$("$E2E_MIXED_LABEL" differ "$WORK/None-1.pbm" "$WORK/JarvisJudiceNinke-1.pbm" "$rect") \
        || fail "could not compare the $name"
    [ "$sierra_diff" -gt 0 ] || fail "the $name has no grey edge that a diffusion would change"
    [ "$auto_diff" -eq 0 ] || fail "the Auto print's $name differs from the threshold's in $auto_diff dots"
done

# Tone error of the photo, 6 dots in from its edges (the blur's reach).
inner="$((PHOTO_X + 6)),$((PHOTO_Y + 6)),$((PHOTO_W - 12)),$((PHOTO_H - 12))"
tone_error() {
    "$E2E_MIXED_LABEL" tone-error "$WORK/label.pgm" "$WORK/$1-1.pbm" "$inner" \
        || fail "could not measure the tone of the $1 print"
}
threshold_error=$(tone_error None)
sierra_error=$(tone_error JarvisJudiceNinke)
auto_error=$(tone_error Auto)
echo "tone error (thousandths of a level): threshold $threshold_error," \
     "sierra $sierra_error, auto $auto_error"
# The measure tells a thresholded photo from a diffused one...
[ $((threshold_error * 2)) -gt $((sierra_error * 5)) ] \
    || fail "the threshold print's tone error ($threshold_error) is not far above sierra's ($sierra_error)"
# ...and the automatic halftone keeps the photo's tone as the diffusion does.
[ $((auto_error * 4)) -le $((sierra_error * 5)) ] \
    || fail "the Auto print's tone error ($auto_error) exceeds 1.25 x sierra's ($sierra_error)"
