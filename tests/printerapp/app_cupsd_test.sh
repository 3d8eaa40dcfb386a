#!/bin/bash
# The printer application behind CUPS as a driverless printer: a private
# scheduler on 127.0.0.1 gets a queue made with "lpadmin -m everywhere"
# pointing at a TL-4 of a private application instance; a PDF label printed
# with lp and no option goes on the loaded 4 x 6 in label through CUPS's own
# filters (pdftopdf, gstoraster, rastertopwg) and the ipp backend into the
# application, and the label it writes holds the document's box where it
# belongs. A printer default set in
# the application (CUPS passes no vendor attribute) reaches the TSPL.
#
#   app_cupsd_test.sh        (tools named in the environment, see app_lib.sh)
#
# The label of tests/e2e/data/label_box.ps: 812 x 1218 dots at 203 dpi, the
# box at (101, 203)..(304, 304).
source "$(dirname "$0")/../e2e/e2e_lib.sh"
source "$(dirname "$0")/app_lib.sh"

readonly LABEL_W=812 LABEL_H=1218
readonly BOX_X0=101 BOX_Y0=203 BOX_X1=304 BOX_Y1=304
readonly TOL=2
readonly START_SECONDS=30 JOB_SECONDS=60
readonly QUEUE=tavel-app

command -v cupsd > /dev/null || fail "cupsd is missing; run scripts/install-deps.sh"
[ "$(id -u)" -eq 0 ] || skip "cupsd must start as root to run its jobs as user lp"
for tool in lp lpadmin lpstat ps2pdf; do
    command -v "$tool" > /dev/null || fail "$tool is missing; run scripts/install-deps.sh"
done

e2e_setup

app_start
app_add_printer tl4 tavel_tl4_203dpi
ipptool -t -d value=burkes "ipp://127.0.0.1:$APP_PORT/ipp/print/tl4" \
    "$APP_TESTS/set-halftone-default.test" > "$WORK/set-default.log" 2>&1 \
    || { cat "$WORK/set-default.log" >&2; fail "Set-Printer-Attributes failed"; }

make_serverbin
make_datadir
start_cupsd
# lpadmin now and then finds a scheduler that has just started unable to
# take the connection ("Bad file descriptor"); it is asked a few times.
added=no
for attempt in 1 2 3 4 5; do
    if lpadmin -h "127.0.0.1:$PORT" -p "$QUEUE" -E -v "ipp://127.0.0.1:$APP_PORT/ipp/print/tl4" \
        -m everywhere 2> "$WORK/lpadmin.err"; then
        added=yes
        break
    fi
    sleep 1
done
[ "$added" = yes ] || { cat "$WORK/lpadmin.err" >&2; fail "lpadmin -m everywhere could not add the queue"; }

pdf=$(make_pdf label_box)
# No -o media: the PPD CUPS generated picks the printer's loaded label.
grep -qx '\*DefaultPageSize: 4x6' "$WORK/root/ppd/$QUEUE.ppd" \
    || fail "the generated PPD does not default to the loaded 4 x 6 in label: $(grep -a DefaultPageSize "$WORK/root/ppd/$QUEUE.ppd")"
job=$(submit "$pdf")
wait_for_job "$job"

# CUPS names the job after the document.
out=$(ls "$WORK"/out-tl4/*.tspl 2> /dev/null | head -n 1)
[ -n "$out" ] && [ -s "$out" ] || fail "the application wrote no TSPL for the CUPS job"
[ "$(print_lines "$out")" = "PRINT 1,1" ] || fail "expected one PRINT 1,1, got: $(print_lines "$out")"
setup_block "$out" | grep -qx 'SIZE 101.6 mm, 152.4 mm' || fail "the label is not 4 x 6 in"
[ "$(decode_labels "$out" "$WORK/label" 203)" -eq 1 ] || fail "expected one label"
check_box_label "$WORK/label-1.pbm" $LABEL_W $LABEL_H $BOX_X0 $BOX_Y0 $BOX_X1 $BOX_Y1 $TOL

# The application's default halftone applied to the CUPS job.
grep -a -q "\[Job 1\] Settings: halftone-type=burkes," "$WORK/app/log" \
    || fail "the application's default halftone did not reach the CUPS job"
echo "PASS: a PDF through a driverless CUPS queue printed on the application"
