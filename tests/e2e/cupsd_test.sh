#!/bin/bash
# Runs a private CUPS scheduler on 127.0.0.1, checks that it lists our
# printer models, adds a queue with the label printer's model and a file:
# device, prints the bundled label with lp and checks the TSPL that the
# queue wrote: the queue's default choices and the job's options must both
# reach the filter through the scheduler, and the scheduler's page log must
# count the pages the filter printed.
#
#   cupsd_test.sh
#
# The label geometry is the one of cupsfilter_test.sh: 812 x 1218 dots at
# 203 dpi, the box at (101, 203)..(304, 304).
source "$(dirname "$0")/e2e_lib.sh"

readonly LABEL_W=812 LABEL_H=1218
readonly BOX_X0=101 BOX_Y0=203 BOX_X1=304 BOX_Y1=304
readonly TOL=2
# Bounds of the waits, far above what a job takes.
readonly START_SECONDS=30 JOB_SECONDS=60
readonly QUEUE=tavel

command -v cupsd > /dev/null || skip "cupsd is not installed (Debian package cups)"
[ "$(id -u)" -eq 0 ] || skip "cupsd must start as root to run its jobs as user lp"
for tool in lp lpadmin lpinfo lpstat ps2pdf; do
    command -v "$tool" > /dev/null || fail "$tool is missing; run scripts/install-deps.sh"
done

e2e_setup
source "$(dirname "$0")/cupsd_lib.sh"

# CUPS counts a job's pages from the PAGE: lines of its filters; the page
# log's "total" entry of job ID must count WANT sheets (pages times copies).
check_page_total() {
    local id=$1 want=$2 i
    for i in $(seq 1 25); do
        grep -a -q -E "^$QUEUE [^ ]+ $id \[[^]]*\] total $want( |\$)" "$WORK/log/page_log" 2> /dev/null \
            && return 0
        sleep 0.2
    done
    fail "job $id: the page log does not count $want sheet(s): $(cat "$WORK/log/page_log" 2> /dev/null)"
}

make_serverbin "$E2E_BUILD_DIR/filter/rastertotavel"
make_datadir
mkdir -p "$WORK/data/model/tavel"
install -m 0644 "$E2E_PPD_DIR"/*.ppd "$WORK/data/model/tavel/"
start_cupsd

models=$(list_models)

grep -q '^tavel/tavtl4.ppd Tavel TL-4 Label Printer' <<< "$models" \
    || fail "the label printer is not among the scheduler's models"
grep -q '^tavel/tavts8.ppd Tavel TS-8 Stencil Printer' <<< "$models" \
    || fail "the stencil printer is not among the scheduler's models"

# The queue's own defaults differ from the PPD's (darkness 8, no offset), so
# the first job shows that queue defaults reach the filter: a custom
# horizontal offset of 2.0 mm is 16 dots at 203 dpi.
lpadmin -h "127.0.0.1:$PORT" -p "$QUEUE" -E -v "file://$WORK/out/label.tspl" \
    -m tavel/tavtl4.ppd -o Darkness=12 -o PageOffsetX=Custom.2.0 2> "$WORK/lpadmin.err" \
    || { cat "$WORK/lpadmin.err" >&2; fail "lpadmin could not add the queue"; }

pdf=$(make_pdf label_box)

# Job 1: the queue's defaults.
job=$(submit "$pdf")
wait_for_job "$job"
cp "$WORK/out/label.tspl" "$WORK/job1.tspl"
setup_block "$WORK/job1.tspl" | grep -qx 'DENSITY 12' || fail "job 1: the queue's Darkness 12 did not reach DENSITY"
[ "$(print_lines "$WORK/job1.tspl")" = "PRINT 1,1" ] || fail "job 1: expected one PRINT 1,1"
[ "$(decode_labels "$WORK/job1.tspl" "$WORK/job1" 203)" -eq 1 ] || fail "job 1: expected one label"
check_box_label "$WORK/job1-1.pbm" $LABEL_W $LABEL_H $((BOX_X0 + 16)) $BOX_Y0 $((BOX_X1 + 16)) $BOX_Y1 $TOL
check_page_total "$job" 1

# Job 2: job options through the scheduler. A boolean option reaches the
# filter as a bare name; the job's custom offset of 1.5 mm (12 dots) replaces
# the queue's; mirroring maps dot x to 811 - x before the shift.
job=$(submit -o MirrorImage=True -o PageOffsetX=Custom.1.5 -o PageOffsetY=None -n 2 "$pdf")
wait_for_job "$job"
cp "$WORK/out/label.tspl" "$WORK/job2.tspl"
[ "$(print_lines "$WORK/job2.tspl")" = "PRINT 1,2" ] || fail "job 2: expected one PRINT 1,2 for two copies"
[ "$(decode_labels "$WORK/job2.tspl" "$WORK/job2" 203)" -eq 1 ] || fail "job 2: expected one label image"
check_box_label "$WORK/job2-1.pbm" $LABEL_W $LABEL_H \
    $((LABEL_W - 1 - BOX_X1 + 12)) $BOX_Y0 $((LABEL_W - 1 - BOX_X0 + 12)) $BOX_Y1 $TOL
check_page_total "$job" 2

echo "PASS: two jobs through a private scheduler on 127.0.0.1:$PORT"
