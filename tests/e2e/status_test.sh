#!/bin/bash
# The filter asks the printer for its status through a private scheduler's
# socket backend, against tspl-sim on 127.0.0.1:
#  - QueryPrinterStatus=True, paper out before a three-copy job and again
#    after two labels: the queue's printer-state-reasons show
#    media-empty-error, the job stays unfinished until paper is loaded, and
#    every label comes out exactly once; the reason is gone afterwards;
#  - a job waiting for paper ends at once when cancelled;
#  - the head open before a job: cover-open-error until it is closed;
#  - a printer that does not answer: the job prints after one query;
#  - the default (off): the bytes the printer receives are byte for byte
#    what the same job writes to a file queue, without one query byte; the
#    file queue has the queries on, which without a backend change nothing.
#
#   status_test.sh TSPL-SIM
source "$(dirname "$0")/e2e_lib.sh"

readonly START_SECONDS=30 JOB_SECONDS=60
# Bound on the wait for a condition to show in the queue's reasons; the
# filter asks every 2 s.
readonly REASON_SECONDS=30
QUEUE=status

command -v cupsd > /dev/null || skip "cupsd is not installed (Debian package cups)"
[ "$(id -u)" -eq 0 ] || skip "cupsd must start as root to run its jobs as user lp"
for tool in cancel lp lpadmin lpstat ps2pdf; do
    command -v "$tool" > /dev/null || fail "$tool is missing; run scripts/install-deps.sh"
done
SIM=${1:?usage: status_test.sh TSPL-SIM}

e2e_setup
source "$(dirname "$0")/cupsd_lib.sh"

# The simulated printer, operated through a FIFO on its standard input.
mkdir -p "$WORK/labels" "$WORK/jobs"
start_sim "$SIM" --roll 0 --label-time 200 --out "$WORK/labels" --jobs "$WORK/jobs"

reasons() { lpstat -h "127.0.0.1:$PORT" -l -p "$QUEUE" 2> /dev/null | sed -n 's/^[[:space:]]*Alerts: //p'; }

# Waits until the queue's reasons hold (or with "!" lack) REASON.
wait_for_reason() {
    local negate= reason=$1 i
    if [ "$reason" = "!" ]; then
        negate=1
        reason=$2
    fi
    for i in $(seq 1 $((REASON_SECONDS * 5))); do
        if grep -qw -- "$reason" <<< "$(reasons)"; then
            [ -z "$negate" ] && return 0
        else
            [ -n "$negate" ] && return 0
        fi
        sleep 0.2
    done
    fail "the queue's reasons '$(reasons)' ${negate:+still }${negate:-do not }hold $reason after ${REASON_SECONDS}s"
}

job_unfinished() { [ -n "$(lpstat -h "127.0.0.1:$PORT" -W not-completed -o "$QUEUE")" ]; }

make_serverbin "$E2E_BUILD_DIR/filter/rastertotavel"
make_datadir
mkdir -p "$WORK/data/model/tavel"
install -m 0644 "$E2E_PPD_DIR"/*.ppd "$WORK/data/model/tavel/"
start_cupsd
# cups-driverd may miss the first request after start-up; lpadmin -m needs it.
list_models > /dev/null

add_queue() {
    lpadmin -h "127.0.0.1:$PORT" -p "$1" -E -v "$2" -m tavel/tavtl4.ppd "${@:3}" 2> "$WORK/lpadmin.err" \
        || { cat "$WORK/lpadmin.err" >&2; fail "lpadmin could not add queue $1"; }
}
add_queue "$QUEUE" "socket://127.0.0.1:$SIM_PORT" -o QueryPrinterStatus=True
pdf=$(make_pdf label_box)

# Paper out before the job: reported, and nothing is sent while it lasts.
job=$(submit -n 3 "$pdf")
wait_for_reason media-empty-error
job_unfinished || fail "job $job ended while the printer had no paper"
# Two labels of paper: the third copy waits in the printer.
operate load 2
wait_for_reason '!' media-empty-error
wait_for_reason media-empty-error
[ "$(printed)" -eq 2 ] || fail "expected 2 labels off a roll of 2, the simulator printed $(printed)"
job_unfinished || fail "job $job ended with a label still in the printer"
operate load 10
wait_for_job "$job"
[ "$(printed)" -eq 3 ] || fail "job $job: three copies, the simulator printed $(printed) labels"
wait_for_reason '!' media-empty-error

# A job that waits is cancelled at once, and its reason goes with it.
operate paper-out
job=$(submit "$pdf")
wait_for_reason media-empty-error
cancel -h "127.0.0.1:$PORT" "$QUEUE-$job" || fail "cancel $QUEUE-$job failed"
for i in $(seq 1 50); do
    job_unfinished || break
    sleep 0.2
done
job_unfinished && fail "job $job still runs 10 s after it was cancelled"
wait_for_reason '!' media-empty-error
operate load 10
sleep 1
[ "$(printed)" -eq 3 ] || fail "the cancelled job printed a label"

# Head open before the job.
operate open
job=$(submit "$pdf")
wait_for_reason cover-open-error
[ "$(printed)" -eq 3 ] || fail "a label came out with the head open"
operate close
wait_for_job "$job"
[ "$(printed)" -eq 4 ] || fail "job $job: one label, the simulator has printed $(printed) in all"
wait_for_reason '!' cover-open-error

# A printer that never answers is printed to as one without status.
operate silent
job=$(submit "$pdf")
wait_for_job "$job"
grep -a -q "^W .*\[Job $job\] The printer does not report its status" "$WORK/log/error_log" \
    || fail "job $job: no warning that the printer does not answer"
for i in $(seq 1 25); do
    [ "$(printed)" -eq 5 ] && break
    sleep 0.2
done
[ "$(printed)" -eq 5 ] || fail "job $job: the silent printer printed $(printed) labels in all, not 5"
operate talk

# The default: the printer gets exactly the filter's output; a file device
# has no link to ask through.
add_queue plain "socket://127.0.0.1:$SIM_PORT"
add_queue file "file://$WORK/out/label.tspl" -o QueryPrinterStatus=True
QUEUE=plain
job=$(submit "$pdf")
wait_for_job "$job"
QUEUE=file
job=$(submit "$pdf")
wait_for_job "$job"
received=$(ls "$WORK/jobs"/job-*.bin | tail -n 1)
cmp "$received" "$WORK/out/label.tspl" \
    || fail "the printer received other bytes than the filter writes to a file ($received)"

echo "PASS: status reported and waited for, every label once, the default unchanged"
