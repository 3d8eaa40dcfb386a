# A private CUPS scheduler on 127.0.0.1 for the end-to-end scripts, sourced
# after e2e_lib.sh and e2e_setup: everything lives below $WORK and the
# scheduler is stopped when the script exits.
#
#   make_serverbin [FILTER...]   private ServerBin, our filters copied in
#   make_datadir                 private DataDir; fill $WORK/data/model
#   start_cupsd                  starts it, sets PORT
#   list_models                  lpinfo -m
#   submit ARGS... / wait_for_job ID   lp to $QUEUE and wait for the job
#
# The caller sets QUEUE, START_SECONDS and JOB_SECONDS.
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

# Private ServerBin: links to the system's programs and, as root-owned
# copies (the scheduler runs only such filters), the filters FILTER... that
# replace or join the system's.
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
    for f in "$@"; do
        rm -f "$serverbin/filter/$(basename "$f")"
        install -m 0755 "$f" "$serverbin/filter/"
    done
}

# Private DataDir: the system's data with an empty model folder of its own,
# $WORK/data/model, which the caller fills the way an install lays out
# /usr/share/cups/model, so queues are added by model name as users do it.
make_datadir() {
    local system_data entry
    system_data=$(cups-config --datadir)
    mkdir -p "$WORK/data/model"
    for entry in "$system_data"/*; do
        [ "$(basename "$entry")" = model ] || ln -s "$entry" "$WORK/data/"
    done
}

# Configuration and runtime folders, all below $WORK; the scheduler runs its
# jobs as lp, so lp owns the folders it writes and the output file. The
# logs are never rotated: the tests read every job's lines.
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
MaxLogSize 0
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

# Asks the scheduler for its models (lpinfo -m) and prints them. cups-driverd
# may not answer the very first request after start-up, so it asks a few
# times before failing.
list_models() {
    local models attempt
    for attempt in 1 2 3 4 5 6 7 8 9 10; do
        models=$(lpinfo -h "127.0.0.1:$PORT" -m 2> "$WORK/lpinfo.err") && break
        models=
        sleep 0.5
    done
    [ -n "$models" ] || fail "lpinfo -m failed: $(cat "$WORK/lpinfo.err"; grep -a -i "driverd\|error" "$WORK/log/error_log" | tail -n 20)"
    echo "$models"
}

# Submits a document with lp to $QUEUE and prints the job number.
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
# normally. A job whose filter fails is held, not ended: that fails at once.
wait_for_job() {
    local id=$1 i
    for i in $(seq 1 $((JOB_SECONDS * 5))); do
        if grep -a -q -E "\\[Job $id\\] .*(stopped with status|crashed on signal)" "$WORK/log/error_log"; then
            fail "job $id: a filter failed: $(grep -a "\[Job $id\]" "$WORK/log/error_log" | grep -a -E 'ERROR|stopped with status|crashed on signal' | tail -n 5)"
        fi
        if [ -z "$(lpstat -h "127.0.0.1:$PORT" -W not-completed -o "$QUEUE")" ]; then
            grep -a -q "\[Job $id\] Job completed\." "$WORK/log/error_log" \
                || fail "job $id did not complete normally"
            return 0
        fi
        sleep 0.2
    done
    fail "job $id did not finish within ${JOB_SECONDS}s"
}

