#!/bin/bash
# Runs a private CUPS scheduler on 127.0.0.1, checks that it lists our
# printer models, adds a queue with the label printer's model and a file:
# device, prints the bundled label with lp and checks the TSPL that the
# queue wrote: the queue's default choices and the job's options must both
# reach the filter through the scheduler.
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
CUPSD_PID=

stop_cupsd() {
    [ -n "$CUPSD_PID" ] || return 0
    if [ "$E2E_STATUS" -ne 0 ] && [ -f "$WORK/log/error_log" ]; then
        echo "--- scheduler log (jobs) ---" >&2
        grep -a -E '\[Job [0-9]+\]' "$WORK/log/error_log" | tail -n 60 >&2 || true
    fi
    kill "$CUPSD_PID" 2> /dev/null || true
    local i
    for i in $(seq 1 50); do
        kill -0 "$CUPSD_PID" 2> /dev/null || break
        sleep 0.1
    done
    kill -9 "$CUPSD_PID" 2> /dev/null || true
    wait "$CUPSD_PID" 2> /dev/null || true
    CUPSD_PID=
}
E2E_CLEANUP_HOOKS+=(stop_cupsd)

# Private ServerBin: links to the system's programs, our filter as a
# root-owned copy (the scheduler runs only such filters).
make_serverbin() {
    local system_bin serverbin="$WORK/serverbin" f d
    system_bin=$(cups-config --serverbin)
    mkdir -p "$serverbin/filter"
    for d in backend cgi-bin daemon monitor notifier driver; do
        [ -e "$system_bin/$d" ] && ln -s "$system_bin/$d" "$serverbin/$d"
    done
    for f in "$system_bin"/filter/*; do
        ln -s "$f" "$serverbin/filter/"
    done
    rm -f "$serverbin/filter/rastertotavel"
    install -m 0755 "$E2E_BUILD_DIR/filter/rastertotavel" "$serverbin/filter/rastertotavel"
}

# Private DataDir: the system's data, with a model folder that holds our
# PPDs the way an install does (model/tavel/), so the queue is added by model
# name as users do it.
make_datadir() {
    local system_data entry
    system_data=$(cups-config --datadir)
    mkdir -p "$WORK/data/model/tavel"
    for entry in "$system_data"/*; do
        [ "$(basename "$entry")" = model ] || ln -s "$entry" "$WORK/data/"
    done
    install -m 0644 "$E2E_PPD_DIR"/*.ppd "$WORK/data/model/tavel/"
}

# Configuration and runtime folders, all below $WORK; the scheduler runs its
# jobs as lp, so lp owns the folders it writes and the output file.
write_config() {
    local port=$1
    mkdir -p "$WORK/root/ppd" "$WORK/spool/tmp" "$WORK/cache" "$WORK/state" "$WORK/log" "$WORK/out"
    : > "$WORK/out/label.tspl"
    chown -R lp:lp "$WORK/spool" "$WORK/cache" "$WORK/state" "$WORK/log" "$WORK/out"
    chmod 0710 "$WORK/spool"
    cat > "$WORK/root/cups-files.conf" << EOF
ServerRoot $WORK/root
ServerBin $WORK/serverbin
DataDir $WORK/data
RequestRoot $WORK/spool
CacheDir $WORK/cache
StateDir $WORK/state
TempDir $WORK/spool/tmp
AccessLog $WORK/log/access_log
ErrorLog $WORK/log/error_log
PageLog $WORK/log/page_log
Printcap $WORK/state/printcap
FileDevice Yes
User lp
Group lp
Sandboxing Relaxed
EOF
    cat > "$WORK/root/cupsd.conf" << EOF
LogLevel debug
Listen 127.0.0.1:$port
ServerName 127.0.0.1
WebInterface No
Browsing Off
DefaultAuthType None
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order allow,deny
    Allow all
  </Limit>
</Policy>
EOF
}

# A port on 127.0.0.1 that nothing listens on.
pick_port() {
    local port i
    for i in $(seq 1 50); do
        port=$((20000 + RANDOM % 40000))
        if ! (exec 3<> "/dev/tcp/127.0.0.1/$port") 2> /dev/null; then
            echo "$port"
            return 0
        fi
    done
    return 1
}

# Starts the scheduler and waits until it answers. Another program may take
# the port between the pick and the start, so a scheduler that exits at once
# is tried again on another port.
start_cupsd() {
    local attempt i
    for attempt in 1 2 3; do
        PORT=$(pick_port) || skip "no free port on 127.0.0.1"
        write_config "$PORT"
        cupsd -f -c "$WORK/root/cupsd.conf" -s "$WORK/root/cups-files.conf" &
        CUPSD_PID=$!
        for i in $(seq 1 $((START_SECONDS * 5))); do
            if ! kill -0 "$CUPSD_PID" 2> /dev/null; then
                wait "$CUPSD_PID" 2> /dev/null || true
                CUPSD_PID=
                break
            fi
            if lpstat -h "127.0.0.1:$PORT" -r > /dev/null 2>&1; then
                return 0
            fi
            sleep 0.2
        done
        [ -z "$CUPSD_PID" ] || fail "cupsd runs but does not answer on 127.0.0.1:$PORT within ${START_SECONDS}s"
    done
    echo "--- scheduler log ---" >&2
    tail -n 20 "$WORK/log/error_log" >&2 2> /dev/null || true
    skip "cupsd cannot start here"
}

# Submits a document with lp and prints the job number.
submit() {
    local reply
    reply=$(lp -h "127.0.0.1:$PORT" -d "$QUEUE" "$@") || fail "lp $* failed"
    # "request id is tavel-7 (1 file(s))"
    local id=${reply#*"request id is $QUEUE-"}
    id=${id%% *}
    [[ "$id" =~ ^[0-9]+$ ]] || fail "no job number in lp's reply: $reply"
    echo "$id"
}

# Waits until the queue has no unfinished job, then checks that job ID ended
# normally.
wait_for_job() {
    local id=$1 i
    for i in $(seq 1 $((JOB_SECONDS * 5))); do
        if [ -z "$(lpstat -h "127.0.0.1:$PORT" -W not-completed -o "$QUEUE")" ]; then
            grep -a -q "\[Job $id\] Job completed\." "$WORK/log/error_log" \
                || fail "job $id did not complete normally"
            return 0
        fi
        sleep 0.2
    done
    fail "job $id did not finish within ${JOB_SECONDS}s"
}

make_serverbin
make_datadir
start_cupsd

# The scheduler lists models through cups-driverd, which may not answer the
# very first request after start-up; ask a few times before failing.
models=
for attempt in 1 2 3 4 5 6 7 8 9 10; do
    models=$(lpinfo -h "127.0.0.1:$PORT" -m 2> "$WORK/lpinfo.err") && break
    models=
    sleep 0.5
done
[ -n "$models" ] || fail "lpinfo -m failed: $(cat "$WORK/lpinfo.err"; grep -a -i "driverd\|error" "$WORK/log/error_log" | tail -n 20)"
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

echo "PASS: two jobs through a private scheduler on 127.0.0.1:$PORT"
