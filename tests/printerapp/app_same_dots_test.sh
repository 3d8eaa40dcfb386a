#!/bin/bash
# The printer application against the filter: a private instance on
# 127.0.0.1 with a TL-4 (203 dpi) and a TS-8 printer on file:// devices,
# jobs sent with ipptool, and every job's TSPL compared byte for byte with
# what the filter makes of the same page with the same settings: all ten
# halftone types raw and compressed, every other setting at once, a PNG
# with copies, the printers' defaults, a default changed over IPP, two
# printers at once, raw TSPL, Apple raster, a JPEG; the jobs that must be
# refused; a page of another size fitted onto the label; PDFs, images
# turned by their EXIF orientation and carrier pages whose label box is cut
# out; the test label, the same dots whatever the halftone; PostScript
# refused at submission; page images only when the printer's setting asks
# for them.
#
#   app_same_dots_test.sh        (tools named in the environment, see app_lib.sh)
source "$(dirname "$0")/../e2e/e2e_lib.sh"
source "$(dirname "$0")/app_lib.sh"

e2e_setup
app_start
app_add_printer tl4 tavel_tl4_203dpi
app_add_printer ts8 tavel_ts8_300dpi

# A 4 x 2 in label at 203 dpi, as PWG raster and PNG for the application
# and as CUPS raster for the filter.
"$APP_PAGES" --test-page 812 406 "$WORK/label.pgm"
"$APP_PAGES" "$WORK/label.pgm" 203 "$WORK/label.pwg" "$WORK/label.png" oe_4x2-label_4x2in
"$RASTERWRITE" -o "$WORK/label.ras" --res 203 "$WORK/label.pgm"
"$RASTERWRITE" -o "$WORK/label-3.ras" --res 203 --copies 3 "$WORK/label.pgm"
"$RASTERWRITE" -o "$WORK/label-x2.ras" --res 203 "$WORK/label.pgm" "$WORK/label.pgm"

# Every halftone type, raw and compressed. The IPP keywords name the method
# that runs; the filter's PPD names, one place off, in the same order.
names=(None FloydSteinberg Ordered Burkes Stucki JarvisJudiceNinke Sierra StevensonArce Tattoo Tattoo_X8)
keywords=(threshold ordered-4x4 burkes stucki jarvis-judice-ninke sierra stevenson-arce bayer tattoo tattoo-x8)
for i in "${!names[@]}"; do
    for zip in false true; do
        job="h-${keywords[$i]}-$zip"
        app_print tl4 print-label "$WORK/label.pwg" image/pwg-raster "$job" \
            halftone="${keywords[$i]}" zip="$zip"
        check_job_state "$job" completed ""
        zipOption=False
        [ "$zip" = true ] && zipOption=True
        filter_output tavtl4.ppd "$WORK/label.ras" "HalftoneType=${names[$i]} ZIP=$zipOption" \
            "$WORK/$job.expected"
        check_same_output tl4 "$job" "$WORK/$job.expected"
    done
done

# Every other setting at once, three copies, and the recording: 1.5 mm and
# -1.0 mm offsets, black marks 3 mm high, darkness 53 + 27 % (DENSITY 12),
# 4 in/s.
app_print tl4 print-label "$WORK/label.pwg" image/pwg-raster all-settings copies=3 \
    left=150 top=-100 tracking=mark gap=3 darkness=27 speed=10160 halftone=sierra \
    darkening=20 mirror=true negative=true direction=rotated-180 printmethod=thermal-transfer \
    zip=true record=true
check_job_state all-settings completed ""
filter_output tavtl4.ppd "$WORK/label-3.ras" "HalftoneType=JarvisJudiceNinke ZIP=True MirrorImage=True \
NegativeImage=True Brightness=20 Origin=Rotation180 MediaMethod=Transfer GapsHeight=3mm \
Darkness=12 PrintSpeed=4 PageOffsetX=Custom.1.5 PageOffsetY=Custom.-1.0 PaperType=LabelMark" \
    "$WORK/all-settings.expected"
check_same_output tl4 all-settings "$WORK/all-settings.expected"
recording=$(find "$WORK/app/spool" -name '*all-settings.tspl' | head -n 1)
[ -n "$recording" ] || fail "record-printer-commands left no recording in the spool folder"
cmp -s "$recording" "$(app_output tl4 all-settings)" || fail "the recording differs from what was sent"

# A PNG, two copies: PAPPL repeats the page, each printed once (no 2 x 2).
app_print tl4 print-label "$WORK/label.png" image/png png-copies copies=2 \
    halftone=jarvis-judice-ninke negative=true
check_job_state png-copies completed ""
filter_output tavtl4.ppd "$WORK/label-x2.ras" "HalftoneType=Stucki NegativeImage=True" \
    "$WORK/png-copies.expected"
check_same_output tl4 png-copies "$WORK/png-copies.expected"

# Apple raster, as iOS and macOS send it.
"$APP_PAGES" "$WORK/label.pgm" 203 "$WORK/label.urf" "$WORK/label.png"
app_print tl4 print-label "$WORK/label.urf" image/urf apple-raster halftone=stevenson-arce
check_job_state apple-raster completed ""
filter_output tavtl4.ppd "$WORK/label.ras" "HalftoneType=Sierra" "$WORK/apple-raster.expected"
check_same_output tl4 apple-raster "$WORK/apple-raster.expected"

# A JPEG (lossy, so its dots are checked, not compared): the label of
# tests/e2e/data/label_box.ps, whose box lies at (101, 203)..(304, 304) on
# 812 x 1218 dots, in two copies, each sent once.
gs -q -dNOPAUSE -dBATCH -sDEVICE=jpeggray -r203 -g812x1218 -o "$WORK/box.jpg" \
    "$E2E_DATA_DIR/label_box.ps" || fail "ghostscript could not write the JPEG"
app_print tl4 print-label "$WORK/box.jpg" image/jpeg jpeg copies=2 media=oe_4x6-label_4x6in \
    halftone=threshold
check_job_state jpeg completed ""
[ "$(print_lines "$(app_output tl4 jpeg)" | tr '\n' ' ')" = "PRINT 1,1 PRINT 1,1 " ] \
    || fail "jpeg: expected two labels of one copy each, got: $(print_lines "$(app_output tl4 jpeg)")"
[ "$(decode_labels "$(app_output tl4 jpeg)" "$WORK/jpeg" 203)" -eq 2 ] || fail "jpeg: expected two labels"
check_box_label "$WORK/jpeg-1.pbm" 812 1218 101 203 304 304 2

# Documents the application renders or turns itself, generated here, each
# on a 4 x 6 in label (812 x 1218 dots) with the black block of
# label_box.ps at (101, 203)..(304, 304) unless said otherwise:
# - a PDF of that label;
# - that label stored turned a quarter counter-clockwise (1218 x 812, the
#   block at (203, 507)..(304, 710)) as a JPEG (APP1) and a PNG (eXIf)
#   whose EXIF orientation 6 says to turn it clockwise to view it;
# - a carrier page: Letter with a ruled 4 x 6 in box (3 pt lines, outer
#   edge 34.5 pt from the left and 4.5 pt from the top) holding a 1 x 0.5 in
#   block 0.5 in from the box's left and top edges, as PDF, as a PWG
#   raster and as PNG and JPEG images at 203 dpi. The box (291 x 435 pt, 820.4 x 1226.5 dots) is cut out and
#   scaled by 812 / 820.4 to 812 x 1214, 2 dots down: the block at
#   (105, 107)..(306, 207);
# - the carrier PDF with label-crop none: the whole page is scaled by
#   812 / 1726 to 812 x 1051, 83 dots down: the block at (95, 139)..(191, 187).
with_exif_app1() {  # JPEG with an EXIF APP1 segment (big-endian TIFF, Orientation 6) after SOI
    python3 -c 'import sys; d=open(sys.argv[1],"rb").read(); t=b"MM\0*\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\x06\0\0\0\0\0\0"; s=b"Exif\0\0"+t; open(sys.argv[2],"wb").write(d[:2]+b"\xff\xe1"+(len(s)+2).to_bytes(2,"big")+s+d[2:])' "$1" "$2"
}
with_exif_png() {  # PNG with an eXIf chunk (little-endian TIFF, Orientation 6) after IHDR
    python3 -c 'import sys,zlib; d=open(sys.argv[1],"rb").read(); t=b"II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0\x06\0\0\0\0\0\0\0"; c=b"eXIf"+t; open(sys.argv[2],"wb").write(d[:33]+len(t).to_bytes(4,"big")+c+zlib.crc32(c).to_bytes(4,"big")+d[33:])' "$1" "$2"
}
ps2pdf "$E2E_DATA_DIR/label_box.ps" "$WORK/box.pdf" || fail "ps2pdf could not write the PDF"
printf '%%!PS\n<< /PageSize [432 288] >> setpagedevice 0 setgray 72 36 36 72 rectfill showpage\n' \
    > "$WORK/turned.ps"
gs -q -dNOPAUSE -dBATCH -sDEVICE=jpeggray -r203 -g1218x812 -o "$WORK/turned.jpg" "$WORK/turned.ps" \
    && gs -q -dNOPAUSE -dBATCH -sDEVICE=pnggray -r203 -g1218x812 -o "$WORK/turned.png" "$WORK/turned.ps" \
    || fail "ghostscript could not write the turned images"
with_exif_app1 "$WORK/turned.jpg" "$WORK/exif.jpg"
with_exif_png "$WORK/turned.png" "$WORK/exif.png"
printf '%s\n' '%!PS' '<< /PageSize [612 792] >> setpagedevice' \
    '0 setgray 3 setlinewidth 36 354 288 432 rectstroke 72 714 72 36 rectfill' \
    '400 100 moveto /Helvetica findfont 12 scalefont setfont (Fold here) show showpage' \
    > "$WORK/carrier.ps"
ps2pdf "$WORK/carrier.ps" "$WORK/carrier.pdf" || fail "ps2pdf could not write the carrier page"
gs -q -dNOPAUSE -dBATCH -sDEVICE=pnggray -r203 -g1726x2233 -o "$WORK/carrier.png" "$WORK/carrier.ps" \
    && gs -q -dNOPAUSE -dBATCH -sDEVICE=jpeggray -r203 -g1726x2233 -o "$WORK/carrier.jpg" "$WORK/carrier.ps" \
    || fail "ghostscript could not write the carrier page as images"
# The page as a client's raster: inverted by the transfer function, as the
# application's pages take 0 = blank.
# app_pages reads no PGM comment: the header is written again.
gs -q -dNOPAUSE -dBATCH -sDEVICE=pgmraw -r203 -g1726x2233 -o "$WORK/carrier-gs.pgm" \
    -c '{1 exch sub} settransfer' -f "$WORK/carrier.ps" \
    || fail "ghostscript could not render the carrier page"
{ printf 'P5\n1726 2233\n255\n'; tail -c $((1726 * 2233)) "$WORK/carrier-gs.pgm"; } > "$WORK/carrier.pgm"
"$APP_PAGES" "$WORK/carrier.pgm" 203 "$WORK/carrier.pwg" "$WORK/carrier-unused.png"
while IFS='|' read -r job file type crop message x0 y0 x1 y1; do
    app_print tl4 print-label "$WORK/$file" "$type" "$job" media=oe_4x6-label_4x6in \
        halftone=threshold labelcrop="$crop"
    check_job_state "$job" completed "$message"
    [ "$(decode_labels "$(app_output tl4 "$job")" "$WORK/$job" 203)" -eq 1 ] \
        || fail "$job: expected one label"
    read -r inner area < <(count_dots "$WORK/$job-1.pbm" $((x0 + 4)) $((y0 + 4)) $((x1 - 4)) $((y1 - 4)))
    [ "$inner" -eq "$area" ] || fail "$job: only $inner of $area dots of the block are black"
    for around in "$((x0 - 12)) $((y0 + 4)) $((x0 - 4)) $((y1 - 4))" \
        "$((x1 + 4)) $((y0 + 4)) $((x1 + 12)) $((y1 - 4))" \
        "$((x0 + 4)) $((y0 - 12)) $((x1 - 4)) $((y0 - 4))" \
        "$((x0 + 4)) $((y1 + 4)) $((x1 - 4)) $((y1 + 12))"; do
        read -r ink area < <(count_dots "$WORK/$job-1.pbm" $around)
        [ "$ink" -eq 0 ] || fail "$job: $ink dots inked beside the block at $around"
    done
done << 'TABLE'
pdf|box.pdf|application/pdf|label-box||101|203|304|304
exif-jpeg|exif.jpg|image/jpeg|label-box||101|203|304|304
exif-png|exif.png|image/png|label-box||101|203|304|304
carrier-pdf|carrier.pdf|application/pdf|label-box|label box was cut out of the 216.0x279.4 mm page|105|107|306|207
carrier-raster|carrier.pwg|image/pwg-raster|label-box|label box was cut out of the 216.0x279.4 mm page|105|107|306|207
carrier-png|carrier.png|image/png|label-box|label box was cut out of the 216.0x279.4 mm page|105|107|306|207
carrier-jpeg|carrier.jpg|image/jpeg|label-box|label box was cut out of the 216.0x279.4 mm page|105|107|306|207
carrier-whole|carrier.pdf|application/pdf|none|page was fitted onto the 101.6x152.4 mm label|95|139|191|187
TABLE
# A carrier image in two copies: its label box printed twice, each once.
app_print tl4 print-label "$WORK/carrier.png" image/png carrier-png-copies copies=2 \
    media=oe_4x6-label_4x6in halftone=threshold
check_job_state carrier-png-copies completed "label box was cut out"
[ "$(print_lines "$(app_output tl4 carrier-png-copies)" | tr '\n' ' ')" = "PRINT 1,1 PRINT 1,1 " ] \
    || fail "carrier-png-copies: expected two labels of one copy each"
[ "$(decode_labels "$(app_output tl4 carrier-png-copies)" "$WORK/carrier-png-copies" 203)" -eq 2 ] \
    || fail "carrier-png-copies: expected two labels"
cmp -s "$WORK/carrier-png-1.pbm" "$WORK/carrier-png-copies-2.pbm" \
    || fail "carrier-png-copies: the second copy is not the carrier label"

# The test label (Print Test Page on the printer's web page) on a printer
# of its own, with the Auto halftone it starts with, then threshold and an
# error diffusion as its default: the same dots each time. On the label: a
# band inked across all 812 dots, a ramp of 8 x 8 tiles that grows, left
# to right, through at least seven of the nine densities k/8 (k x 8 inked
# dots in a tile), and a bar code that zbarimg reads when it is installed.
app_add_printer tp tavel_tl4_203dpi
print_test_label() {  # NAME: prints the test label into $WORK/NAME-1.pbm
    local session i
    local cookie
    curl -s -m 10 -D "$WORK/$1-headers.txt" -o "$WORK/$1-form.html" "http://127.0.0.1:$APP_PORT/tp/"
    # The form cookie is marked secure; curl sends it over http only when told.
    cookie=$(sed -n 's/^Set-Cookie: \(tavel-form=[^;]*\);.*/\1/p' "$WORK/$1-headers.txt" | head -n 1)
    session=$(sed -n 's/.*name="session" value="\([0-9a-f]*\)".*/\1/p' "$WORK/$1-form.html")
    [ -n "$session" ] || fail "the printer's web page has no form"
    curl -s -m 10 -H "Cookie: $cookie" -o "$WORK/$1-printed.html" --data "session=${session%%$'\n'*}&action=print-test-page" \
        "http://127.0.0.1:$APP_PORT/tp/"
    grep -q "Test page printing" "$WORK/$1-printed.html" || fail "$1: Print Test Page was not accepted"
    for i in $(seq 1 100); do
        [ -f "$WORK/out-tp/Test Page.tspl" ] && [ "$(app_printer_attribute tp queued-job-count)" = 0 ] && break
        sleep 0.2
    done
    [ -f "$WORK/out-tp/Test Page.tspl" ] || fail "$1: the test label reached no printer in 20 s"
    mv "$WORK/out-tp/Test Page.tspl" "$WORK/$1.tspl"
    [ "$(decode_labels "$WORK/$1.tspl" "$WORK/$1" 203)" -eq 1 ] || fail "$1: expected one label"
}
print_test_label test-label-auto
python3 - "$WORK/test-label-auto-1.pbm" << 'PY' || fail "the printed test label lacks its band or its ramp"
import sys
data = open(sys.argv[1], "rb").read()
magic, size, bits = data.split(b"\n", 2)
width, height = map(int, size.split())
stride = (width + 7) // 8
def ink(x, y):
    return bits[y * stride + x // 8] >> (7 - x % 8) & 1
full = [all(ink(x, y) for x in range(width)) for y in range(height)]
band, run = 0, 0
for y in range(8, height - 8):  # the frame's rows left out
    run = run + 1 if full[y] else 0
    band = max(band, run)
if band < 8:
    sys.exit("no row band inked across the width (longest %d rows)" % band)
best = 0
for ty in range(0, height - 7, 8):
    tiles = [sum(ink(x, y) for y in range(ty, ty + 8) for x in range(tx, tx + 8))
             for tx in range(width // 10 // 8 * 8, width * 9 // 10 - 7, 8)]
    if all(a <= b for a, b in zip(tiles, tiles[1:])):
        best = max(best, len({t for t in tiles if t % 8 == 0}))
if best < 7:
    sys.exit("no row of tiles rising through seven densities (at most %d)" % best)
PY
if command -v zbarimg > /dev/null; then
    [ "$(zbarimg -q --raw "$WORK/test-label-auto-1.pbm" 2> /dev/null)" = "TEST 203 DPI" ] \
        || fail "zbarimg does not read the test label's bar code as TEST 203 DPI"
fi
for halftone in threshold jarvis-judice-ninke; do
    ipptool -t -d value="$halftone" "ipp://127.0.0.1:$APP_PORT/ipp/print/tp" \
        "$APP_TESTS/set-halftone-default.test" > "$WORK/tp-$halftone.log" 2>&1 \
        || { cat "$WORK/tp-$halftone.log" >&2; fail "could not set the halftone to $halftone"; }
    print_test_label "test-label-$halftone"
    cmp -s "$WORK/test-label-auto-1.pbm" "$WORK/test-label-$halftone-1.pbm" \
        || fail "the test label prints other dots with $halftone than with auto"
done

# PostScript is refused at submission, with a message saying what to do.
ipptool -tv -d filetype=application/postscript -f "$WORK/carrier.ps" \
    "ipp://127.0.0.1:$APP_PORT/ipp/print/tl4" "$APP_TESTS/print-refused.test" > "$WORK/ps.ipp" 2>&1 \
    || { cat "$WORK/ps.ipp" >&2; fail "PostScript was not refused at submission"; }
grep -q "convert it to PDF" "$WORK/ps.ipp" || fail "the PostScript refusal does not say what to do"

# No attribute at all: the printer's defaults are the PPD's defaults, but
# for the halftone, Auto in the application (the PPD keeps threshold). Then
# a default changed over IPP applies to the next job that leaves it out.
app_print tl4 print-plain "$WORK/label.pwg" image/pwg-raster defaults
check_job_state defaults completed ""
filter_output tavtl4.ppd "$WORK/label.ras" "HalftoneType=Auto" "$WORK/defaults.expected"
check_same_output tl4 defaults "$WORK/defaults.expected"
ipptool -t -d value=burkes \
    "ipp://127.0.0.1:$APP_PORT/ipp/print/tl4" "$APP_TESTS/set-halftone-default.test" \
    > "$WORK/set-default.log" 2>&1 || { cat "$WORK/set-default.log" >&2; fail "Set-Printer-Attributes failed"; }
app_print tl4 print-plain "$WORK/label.pwg" image/pwg-raster new-default
filter_output tavtl4.ppd "$WORK/label.ras" "HalftoneType=Ordered" "$WORK/new-default.expected"
check_same_output tl4 new-default "$WORK/new-default.expected"

# A value outside -supported is replaced by the default and the job says so.
app_print tl4 print-label "$WORK/label.pwg" image/pwg-raster bogus halftone=bogus-value
check_job_state bogus completed "halftone-type=bogus-value is not supported, printed with burkes"
check_same_output tl4 bogus "$WORK/new-default.expected"

# Two printers at once: a 3 x 3 in stencil with the TS-8's defaults
# (stencil halftone, continuous, no post action) beside a label.
"$APP_PAGES" --test-page 900 900 "$WORK/stencil.pgm"
"$APP_PAGES" "$WORK/stencil.pgm" 300 "$WORK/stencil.pwg" "$WORK/stencil.png"
"$RASTERWRITE" -o "$WORK/stencil.ras" --res 300 "$WORK/stencil.pgm"
app_print ts8 print-plain "$WORK/stencil.pwg" image/pwg-raster stencil &
stencil_pid=$!
app_print tl4 print-label "$WORK/label.pwg" image/pwg-raster beside halftone=tattoo-x8 zip=true
wait "$stencil_pid" || fail "the stencil job failed"
filter_output tavts8.ppd "$WORK/stencil.ras" "" "$WORK/stencil.expected"
check_same_output ts8 stencil "$WORK/stencil.expected"
filter_output tavtl4.ppd "$WORK/label.ras" "HalftoneType=Tattoo_X8 ZIP=True" "$WORK/beside.expected"
check_same_output tl4 beside "$WORK/beside.expected"

# Raw TSPL passes through unchanged.
app_print tl4 print-plain "$WORK/all-settings.expected" application/vnd.tavel-tspl raw
check_same_output tl4 raw "$WORK/all-settings.expected"

# A page the printer cannot take is refused, and nothing reaches it.
"$APP_PAGES" "$WORK/label.pgm" 300 "$WORK/label-300.pwg" "$WORK/label-300.png"
app_print tl4 print-plain "$WORK/label-300.pwg" image/pwg-raster wrong-resolution
check_job_state wrong-resolution aborted "300x300 dpi on a 203 dpi printer"
out=$(app_output tl4 wrong-resolution)
[ ! -s "$out" ] || fail "job wrong-resolution was refused but sent $(stat -c %s "$out") bytes"

# A page of another size than the job's label is fitted onto it: the 4 x 2
# in page (812 x 406) on a 4 x 6 in label (812 x 1218) is turned a quarter
# counter-clockwise, scaled by 1.5 to 609 x 1218 and centred from dot 101;
# the job says so.
app_print tl4 print-label "$WORK/label.pwg" image/pwg-raster other-size \
    media=oe_4x6-label_4x6in halftone=threshold
check_job_state other-size completed "page was turned and fitted onto the 101.6x152.4 mm label"
setup_block "$(app_output tl4 other-size)" | grep -qx 'SIZE 101.6 mm, 152.4 mm' \
    || fail "other-size: the label is not 4 x 6 in"
[ "$(decode_labels "$(app_output tl4 other-size)" "$WORK/other-size" 203)" -eq 1 ] \
    || fail "other-size: expected one label"
# Blank beside the page; the test page's solid box, dots [50, 203) across
# and [50, 135) down, turned to [50, 135) x [609, 762) and scaled, covers
# [176, 303) x [914, 1143) on the label.
read -r inked area < <(count_dots "$WORK/other-size-1.pbm" 0 0 101 1218)
[ "$inked" -eq 0 ] || fail "other-size: $inked dots left of the fitted page"
read -r inked area < <(count_dots "$WORK/other-size-1.pbm" 711 0 812 1218)
[ "$inked" -eq 0 ] || fail "other-size: $inked dots right of the fitted page"
read -r inked area < <(count_dots "$WORK/other-size-1.pbm" 179 917 300 1140)
[ "$inked" -eq "$area" ] || fail "other-size: only $inked of $area dots of the box are black"

# The same page as a PNG, left to the printer to fit: PAPPL places it
# upright, and it is turned onto the label just as the raster page was.
app_print tl4 print-label "$WORK/label.png" image/png png-turned media=oe_4x6-label_4x6in \
    halftone=threshold
check_job_state png-turned completed ""
check_same_output tl4 png-turned "$(app_output tl4 other-size)"

# Page images are the printer's setting: a job cannot ask for them, and the
# printer's default makes the page's two, 812 x 406, in the server's own
# spool folder and readable by its user alone.
count_page_dumps() {
    local dump width height count=0
    for dump in $(find "$WORK/app/spool" -maxdepth 1 -name '*.bmp'); do
        [ "$(stat -c %a "$dump")" = 600 ] || fail "page dump $dump has mode $(stat -c %a "$dump"), not 600"
        # BMP width and height, little-endian 32-bit at bytes 18 and 22.
        read -r width height < <(od -A n -t d4 -j 18 -N 8 "$dump" 2> /dev/null) || continue
        [ "$width" -eq 812 ] && [ "${height#-}" -eq 406 ] && count=$((count + 1))
    done
    echo "$count"
}
app_print tl4 print-label "$WORK/label.pwg" image/pwg-raster no-dumps pageimages=true
check_job_state no-dumps completed "save-page-images is a printer setting, the job's value is ignored"
[ "$(count_page_dumps)" -eq 0 ] || fail "a job's save-page-images=true made page images"
sed 's/halftone-type-default \$value/save-page-images-default true/; s/ATTR keyword save/ATTR boolean save/' \
    "$APP_TESTS/set-halftone-default.test" > "$WORK/set-page-images.test"
ipptool -t "ipp://127.0.0.1:$APP_PORT/ipp/print/tl4" "$WORK/set-page-images.test" \
    > "$WORK/set-page-images.log" 2>&1 \
    || { cat "$WORK/set-page-images.log" >&2; fail "could not set save-page-images-default"; }
app_print tl4 print-label "$WORK/label.pwg" image/pwg-raster dumps halftone=threshold
check_job_state dumps completed ""
[ "$(count_page_dumps)" -eq 2 ] || fail "save-page-images-default=true left $(count_page_dumps) dumps of the page in the server's spool, not 2"

# A network printer (tcp://) that is off: the job waits, saying why, and the printer
# shows offline; once the printer listens, the job sends it the filter's
# TSPL. A second job waiting for a printer that never comes is canceled, and
# a third one does not hold up SIGTERM.
job_attributes() {  # PRINTER JOB-ID: the job's state and message
    cat > "$WORK/get-job.test" << 'EOF'
{
    OPERATION Get-Job-Attributes
    GROUP operation-attributes-tag
    ATTR charset attributes-charset utf-8
    ATTR naturalLanguage attributes-natural-language en
    ATTR uri printer-uri $uri
    ATTR integer job-id $jobid
    STATUS successful-ok
}
EOF
    ipptool -tv -d jobid="$2" "ipp://127.0.0.1:$APP_PORT/ipp/print/$1" "$WORK/get-job.test" 2> /dev/null \
        | sed -n 's/^ *\(job-state\|job-state-message\) ([a-zA-Z]*) = //p' | tr '\n' '|'
}
wait_for_job_text() {  # PRINTER JOB-ID TEXT: waits up to 20 s
    local i
    for i in $(seq 1 100); do
        grep -q -F -- "$3" <<< "$(job_attributes "$1" "$2")" && return 0
        sleep 0.2
    done
    fail "job $2 on $1 never showed '$3': $(job_attributes "$1" "$2")"
}
late_port=$(pick_port) || skip "no free port on 127.0.0.1"
app_add_printer late tavel_tl4_203dpi "tcp://127.0.0.1:$late_port"
app_print late print-plain "$WORK/label.pwg" image/pwg-raster late-label &
late_pid=$!
wait_for_job_text late 1 "Waiting for the printer: Unable to connect to 127.0.0.1:$late_port: Connection refused"
grep -qw offline <<< "$(app_printer_attribute late printer-state-reasons)" \
    || fail "the unreachable printer does not show offline: $(app_printer_attribute late printer-state-reasons)"
python3 -c '
import socket, sys
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", int(sys.argv[1])))
server.listen(1)
server.settimeout(30)
connection, _ = server.accept()
connection.settimeout(30)
with open(sys.argv[2], "wb") as out:
    while True:
        data = connection.recv(65536)
        if not data:
            break
        out.write(data)
' "$late_port" "$WORK/late.out" &
listener_pid=$!
wait "$late_pid" || fail "the late printer's job failed"
wait "$listener_pid" || fail "the late printer received nothing"
check_job_state late-label completed ""
# The listener never answers the one status query that comes first.
{ printf '\033!?'; cat "$WORK/defaults.expected"; } > "$WORK/late.expected"
cmp -s "$WORK/late.expected" "$WORK/late.out" \
    || fail "the late printer received other TSPL than the filter's: $(cmp "$WORK/late.expected" "$WORK/late.out" 2>&1 | head -n 1)"

never_port=$(pick_port) || skip "no free port on 127.0.0.1"
app_add_printer never tavel_tl4_203dpi "tcp://127.0.0.1:$never_port"
"$APP_PAGES" "$WORK/label.pgm" 203 "$WORK/never.pwg" "$WORK/never.png"
ipptool -d filetype=image/png -d jobname=never-1 -f "$WORK/never.png" \
    "ipp://127.0.0.1:$APP_PORT/ipp/print/never" "$APP_TESTS/print-plain.test" > /dev/null 2>&1 &
wait_for_job_text never 1 "Waiting for the printer"
cat > "$WORK/cancel-job.test" << 'EOF'
{
    OPERATION Cancel-Job
    GROUP operation-attributes-tag
    ATTR charset attributes-charset utf-8
    ATTR naturalLanguage attributes-natural-language en
    ATTR uri printer-uri $uri
    ATTR integer job-id 1
    ATTR name requesting-user-name $user
    STATUS successful-ok
}
EOF
ipptool -t "ipp://127.0.0.1:$APP_PORT/ipp/print/never" "$WORK/cancel-job.test" > "$WORK/cancel.log" 2>&1 \
    || { cat "$WORK/cancel.log" >&2; fail "Cancel-Job failed"; }
wait_for_job_text never 1 "canceled|Canceled while waiting for the printer."
ipptool -d filetype=image/pwg-raster -d jobname=never-2 -f "$WORK/label.pwg" \
    "ipp://127.0.0.1:$APP_PORT/ipp/print/never" "$APP_TESTS/print-plain.test" > /dev/null 2>&1 &
wait_for_job_text never 2 "Waiting for the printer"
app_stop_within 10 "while a job waited for its printer"

echo "PASS: the application's TSPL equals the filter's on $(ls "$WORK"/*.expected | wc -l) jobs"
