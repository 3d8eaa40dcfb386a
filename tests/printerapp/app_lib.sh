# Shared helpers of the printer application's end-to-end scripts: a private
# instance of tavel-printer-app on 127.0.0.1 (its own port, spool, state and
# log below $WORK), printers created over IPP, jobs sent with ipptool.
#
# The scripts get their tools from the environment that ctest sets:
# APP (tavel-printer-app), APP_PAGES, RASTERWRITE, FILTER, PPD_DIR, and
# APP_TESTS (this folder, for the ipptool files). They source
# tests/e2e/e2e_lib.sh first (WORK, fail, skip, clean-up hooks); this file
# takes pick_port from tests/e2e/cupsd_lib.sh.
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/cupsd_lib.sh"

# Bounds of the waits, far above what a start or a job takes. An idle server
# ends at once on SIGTERM; one that still finishes a job (ipp-1.1.test
# leaves some) under the sanitizers on a loaded machine once took over 10 s.
readonly APP_START_SECONDS=30
readonly APP_STOP_SECONDS=30
APP_PID=
APP_PORT=

# Copies the server and the ipptool files into a folder of this test that
# every user may read and no mount of the test hides, and points APP and
# APP_TESTS at the copies: the build may lie in a home folder that lp and
# nobody cannot enter, or below /tmp, which a test covers with a mount of
# its own. Removed at clean-up.
APP_COPY=
app_remove_copy() {
    [ -z "$APP_COPY" ] || rm -rf -- "$APP_COPY"
}
app_copy_for_other_users() {
    APP_COPY=$(mktemp -d /var/tmp/tavel-app.XXXXXX) || fail "cannot make a folder in /var/tmp"
    E2E_CLEANUP_HOOKS+=(app_remove_copy)
    chmod 0755 "$APP_COPY"
    install -m 0755 "$APP" "$APP_COPY/tavel-printer-app"
    install -m 0644 "$APP_TESTS"/*.test "$APP_COPY/"
    APP=$APP_COPY/tavel-printer-app
    APP_TESTS=$APP_COPY
}

# Waits up to SECONDS for process PID to end; false if it still runs.
wait_for_exit() {
    local pid=$1 seconds=$2 i
    for i in $(seq 1 $((seconds * 10))); do
        kill -0 "$pid" 2> /dev/null || return 0
        sleep 0.1
    done
    ! kill -0 "$pid" 2> /dev/null
}

# Ends the server with SIGTERM and checks that it goes within the bound.
app_stop() {
    [ -n "$APP_PID" ] || return 0
    if [ "$E2E_STATUS" -ne 0 ] && [ -f "$WORK/app/log" ]; then
        echo "--- printer application log (jobs and printers) ---" >&2
        grep -a -E '\[(Job|Printer) ' "$WORK/app/log" | tail -n 40 >&2 || true
        echo "--- printer application log (last lines) ---" >&2
        grep -a -v '^D ' "$WORK/app/log" | tail -n 20 >&2 || true
        echo "--- printer application threads and children ---" >&2
        ps -L -o pid,ppid,lwp,stat,wchan:32,etimes,args --ppid "$APP_PID" -p "$APP_PID" >&2 || true
    fi
    kill -TERM "$APP_PID" 2> /dev/null || true
    if ! wait_for_exit "$APP_PID" "$APP_STOP_SECONDS"; then
        kill -9 "$APP_PID" 2> /dev/null || true
        wait "$APP_PID" 2> /dev/null || true
        APP_PID=
        fail "the printer application did not end within ${APP_STOP_SECONDS}s of SIGTERM"
    fi
    wait "$APP_PID" 2> /dev/null || true
    APP_PID=
}

# Sends SIGTERM and fails unless the server ends within SECONDS; WHAT says
# what it was doing. Prints how long it took.
app_stop_within() {
    local seconds=$1 what=$2 start=$SECONDS
    kill -TERM "$APP_PID"
    wait_for_exit "$APP_PID" "$seconds" || fail "the server still runs ${seconds}s after SIGTERM ($what)"
    wait "$APP_PID" 2> /dev/null || true
    APP_PID=
    echo "SIGTERM ended the server in $((SECONDS - start)) s $what"
}

# Starts a private server with a fresh state file and waits until it
# answers IPP. Its file:// devices may write below $WORK alone. Another program may take the port between the pick and the
# start, so a server that exits at once is tried again on another port.
app_start() {
    local attempt i
    mkdir -p "$WORK/app/spool"
    E2E_CLEANUP_HOOKS+=(app_stop)
    for attempt in 1 2 3; do
        APP_PORT=$(pick_port) || skip "no free port on 127.0.0.1"
        rm -f "$WORK/app/state"
        "$APP" server -o server-port="$APP_PORT" -o listen-hostname=127.0.0.1 \
            -o spool-directory="$WORK/app/spool" -o log-file="$WORK/app/log" \
            -o state-file="$WORK/app/state" -o log-level=debug \
            -o file-device-directory="$WORK" -o admin-password-file="$WORK/app/admin-password" \
            > "$WORK/app/stderr" 2>&1 &
        APP_PID=$!
        for i in $(seq 1 $((APP_START_SECONDS * 10))); do
            if ! kill -0 "$APP_PID" 2> /dev/null; then
                wait "$APP_PID" 2> /dev/null || true
                APP_PID=
                break
            fi
            if ipptool -q "ipp://127.0.0.1:$APP_PORT/ipp/system" \
                "$APP_TESTS/get-system-attributes.test" 2> /dev/null; then
                return 0
            fi
            sleep 0.1
        done
        [ -z "$APP_PID" ] || fail "the printer application does not answer on 127.0.0.1:$APP_PORT"
    done
    cat "$WORK/app/stderr" >&2 || true
    fail "the printer application cannot start"
}

# Creates printer NAME with DRIVER on DEVICE, by default a file:// device
# writing $WORK/out-NAME/<job-name>.tspl.
app_add_printer() {
    local name=$1 driver=$2 device=${3:-}
    if [ -z "$device" ]; then
        mkdir -p "$WORK/out-$name"
        device="file://$WORK/out-$name?ext=tspl"
    fi
    ipptool -t -d driver="$driver" -d device="$device" -d name="$name" \
        "ipp://127.0.0.1:$APP_PORT/ipp/system" "$APP_TESTS/create-printer.test" \
        > "$WORK/create-$name.log" 2>&1 \
        || { cat "$WORK/create-$name.log" >&2; fail "could not create printer $name ($driver on $device)"; }
}

# Prints the values of attribute ATTR of printer NAME, as ipptool shows them.
app_printer_attribute() {
    ipptool -tv -d attr="$2" "ipp://127.0.0.1:$APP_PORT/ipp/print/$1" \
        "$APP_TESTS/get-printer-attribute.test" 2> /dev/null | sed -n "s/^ *$2 (.*) = //p"
}

# Prints FILE of TYPE on printer NAME with ipptool file TEST (print-label or
# print-plain) and the further -d NAME=VALUE arguments; the job's name is
# JOB. Waits for the end of the job and leaves "STATE|MESSAGE" in
# $WORK/JOB.state.
app_print() {
    local name=$1 test=$2 file=$3 type=$4 job=$5
    shift 5
    local args=() arg
    for arg in "$@"; do
        args+=(-d "$arg")
    done
    ipptool -t -d filetype="$type" -d jobname="$job" ${args[@]+"${args[@]}"} -f "$file" \
        "ipp://127.0.0.1:$APP_PORT/ipp/print/$name" "$APP_TESTS/$test.test" \
        > "$WORK/$job.ipp" 2>&1 || { cat "$WORK/$job.ipp" >&2; fail "job $job could not be printed"; }
    local state message
    state=$(sed -n "s/^ *job-state (enum) = //p" "$WORK/$job.ipp" | tail -n 1)
    message=$(sed -n "s/^ *job-state-message (textWithoutLanguage) = //p" "$WORK/$job.ipp" | tail -n 1)
    echo "$state|$message" > "$WORK/$job.state"
}

# One IPP attribute of a request written by hand (raw clients): value tag
# (hex), name, value.
ipp_attribute() {
    local tag=$1 name=$2 value=$3
    printf "$(printf '\\x%s\\x%02x\\x%02x' "$tag" $((${#name} >> 8)) $((${#name} & 255)))"
    printf '%s' "$name"
    printf "$(printf '\\x%02x\\x%02x' $((${#value} >> 8)) $((${#value} & 255)))"
    printf '%s' "$value"
}

# The TSPL printer NAME received for job JOB.
app_output() {
    echo "$WORK/out-$1/$2.tspl"
}

# Runs the filter with PPD on RASTER and OPTIONS into OUT. It leaves no page
# dumps (which change nothing in its TSPL), so that the application's dumps
# can be told apart.
filter_output() {
    local ppd=$1 raster=$2 options=$3 out=$4
    PPD="$PPD_DIR/$ppd" "$FILTER" 1 test job 1 "$options SavePageImages=False" "$raster" \
        > "$out" 2> "$out.log" \
        || fail "the filter failed on $raster with '$options'"
}

# Checks that the application's output for JOB on printer NAME is the
# filter's, byte for byte.
check_same_output() {
    local name=$1 job=$2 expected=$3
    local actual
    actual=$(app_output "$name" "$job")
    [ -f "$actual" ] || fail "job $job: no output ($(cat "$WORK/$job.state"))"
    cmp -s "$expected" "$actual" || fail "job $job: the application's TSPL differs from the filter's:
$(cmp "$expected" "$actual" 2>&1 | head -n 1)"
}

# Checks that job JOB ended in STATE (completed, aborted) and that its
# message holds TEXT.
check_job_state() {
    local job=$1 state=$2 text=$3 actual
    actual=$(cat "$WORK/$job.state")
    [ "${actual%%|*}" = "$state" ] || fail "job $job ended $actual, expected $state"
    grep -q -F -- "$text" <<< "${actual#*|}" || fail "job $job: message '${actual#*|}' lacks '$text'"
}
