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
# Then the path of a user with a real label printer: a second driverless
# queue (CUPS polls the printer's attributes) on an application printer
# made on socket://, as lpinfo names network printers, to tspl-sim. Five
# numbered labels go out with lp in a row, each its own label size, the
# second in two copies, and the roll runs out after the first copy: the
# second copy waits in the printer, the jobs after it wait in CUPS, none
# completes until paper is loaded, and then every label comes out exactly
# once, in job-id order.
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
# The queue that submit and wait_for_job use; a second one comes later.
QUEUE=tavel-app

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

# Labels in a row on a printer that runs out of paper.
# Label N is N boxes on its own label size; the sizes the simulated printer
# printed, in turn, give the order. Label 2 is printed twice (lp -n 2) and
# the roll holds two labels: its second copy is left in the printer.
readonly ROW_MEDIA=(oe_1-5x1-label_1.5x1in oe_2x1-label_2x1in oe_3x1-label_3x1in
    oe_4x1-label_4x1in oe_3x2-label_3x2in)
readonly ROW_COPIES=(1 2 1 1 1)
# Width and height in points of each, and the labels the printer draws (in
# dots at 203 dpi, from the SIZE the application sends).
readonly ROW_POINTS=("108 72" "144 72" "216 72" "288 72" "216 144")
readonly ROW_LABELS="305x203 406x203 406x203 609x203 812x203 609x406 "
readonly ROW_COUNT=${#ROW_MEDIA[@]} ROLL=2 WAIT_SECONDS=30
mkdir -p "$WORK/labels"
start_sim "$E2E_BUILD_DIR/tools/tspl-sim" --roll "$ROLL" --label-time 100 --out "$WORK/labels"
app_add_printer line tavel_tl4_203dpi "socket://127.0.0.1:$SIM_PORT"
QUEUE=tavel-line
lpadmin -h "127.0.0.1:$PORT" -p "$QUEUE" -E -v "ipp://127.0.0.1:$APP_PORT/ipp/print/line" \
    -m everywhere 2> "$WORK/lpadmin.err" \
    || { cat "$WORK/lpadmin.err" >&2; fail "lpadmin -m everywhere could not add the queue on socket://"; }

# Label N: a page of its label's size with N boxes of 9 x 9 pt in a row.
row_label() {
    local n=$1 i
    read -r width height <<< "${ROW_POINTS[$((n - 1))]}"
    {
        echo "%!PS-Adobe-3.0"
        echo "%%BoundingBox: 0 0 $width $height"
        echo "%%Pages: 1"
        echo "%%EndComments"
        echo "<< /PageSize [$width $height] >> setpagedevice"
        echo "%%Page: 1 1"
        echo "0 setgray"
        for i in $(seq 1 "$n"); do
            echo "$((i * 14 - 5)) 9 9 9 rectfill"
        done
        echo "showpage"
        echo "%%EOF"
    } > "$WORK/row-$n.ps"
    ps2pdf "$WORK/row-$n.ps" "$WORK/row-$n.pdf" || fail "ps2pdf of label $n failed"
    echo "$WORK/row-$n.pdf"
}
# The size in dots of each label the printer printed, in turn (the width
# and height of its PNG).
printed_labels() {
    local file
    sed -n 's/^printed [0-9]* //p' "$WORK/sim.log" | while read -r file; do
        od -An -tu1 -j16 -N8 "$file" \
            | awk '{ printf "%dx%d ", $3 * 256 + $4, $7 * 256 + $8 }'
    done
}
# Whether CUPS has completed its job ID.
cups_job_done() {
    lpstat -h "127.0.0.1:$PORT" -W completed -o "$QUEUE" | grep -q "^$QUEUE-$1 "
}
bounded_wait() {
    local what=$1 i
    shift
    for i in $(seq 1 $((WAIT_SECONDS * 5))); do
        "$@" && return 0
        sleep 0.2
    done
    fail "$what within ${WAIT_SECONDS}s"
}

row_jobs=()
for n in $(seq 1 "$ROW_COUNT"); do
    row_jobs+=("$(submit -n "${ROW_COPIES[$((n - 1))]}" -o media="${ROW_MEDIA[$((n - 1))]}" \
        "$(row_label "$n")")")
done
# The printer's second job (the printer's job ids count from 1; the other
# printer has had one job) waits for paper with its second copy inside.
second_waits() {
    grep -a -q "\[Job 2\] Waiting for the printer: out of paper" "$WORK/app/log"
}
bounded_wait "the second job does not wait for paper" second_waits
sleep 1
[ "$(printed)" -eq "$ROLL" ] || fail "$(printed) labels printed from a roll of $ROLL"
cups_job_done "${row_jobs[0]}" \
    || fail "job ${row_jobs[0]} printed its label, but CUPS has not completed it"
for id in "${row_jobs[@]:1}"; do
    cups_job_done "$id" && fail "CUPS completed job $id while the printer had no paper"
done
operate load 10
wait_for_job "${row_jobs[$((ROW_COUNT - 1))]}"
for id in "${row_jobs[@]}"; do
    cups_job_done "$id" || fail "job $id did not complete once paper was loaded"
done
printed_at_least() { [ "$(printed)" -ge "$1" ]; }
labels=$(wc -w <<< "$ROW_LABELS")
bounded_wait "the printer did not print $labels labels" printed_at_least "$labels"
sleep 1
[ "$(printed_labels)" = "$ROW_LABELS" ] \
    || fail "labels $ROW_LABELS sent in a row came out as $(printed_labels)"
echo "PASS: a PDF through a driverless CUPS queue printed on the application; $ROW_COUNT labels in a row through a queue on socket:// came out once each, in order, across paper out"
