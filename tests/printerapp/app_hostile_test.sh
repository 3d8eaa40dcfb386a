#!/bin/bash
# The printer application under load and against hostile documents and
# clients, on a private instance on 127.0.0.1:
# - load: 8 clients send 25 PWG raster labels each at once, in several
#   rounds, each on a fresh server: every job is accepted (none refused as
#   busy), printed once with the filter's bytes, no request hangs, and the
#   server ends on SIGTERM in time;
# - one table of documents that must fail, each with its message, fast,
#   with nothing printed: a raster cut inside a page, a PNG and a JPEG far
#   larger than any label, a damaged PNG and JPEG;
# - a client that starts an upload and goes silent loses its job and the
#   job queued behind it prints; a request refused before its job exists
#   does not keep the printer's turn; Cancel-Job ends a silent upload at
#   once;
# - SIGTERM ends the server in time while an upload hangs and a job waits.
#
#   app_hostile_test.sh        (tools named in the environment, see app_lib.sh)
source "$(dirname "$0")/../e2e/e2e_lib.sh"
source "$(dirname "$0")/app_lib.sh"

# Bounds far above what a request or a stop takes: a request slower than
# REQUEST_SECONDS is a hang. A silent client loses its job after 6 s while
# another upload waits for its turn (30 s when none does).
readonly REQUEST_SECONDS=20
readonly STOP_SECONDS=10
readonly STALL_SECONDS=6
readonly CLIENTS=8 JOBS=25
# The sanitizers make every job several times slower: fewer rounds there.
ROUNDS=3
if [ -n "${ASAN_OPTIONS:-}" ] || ldd "$APP" 2> /dev/null | grep -q libasan; then
    ROUNDS=2
fi

e2e_setup

# Writes the ipptool file NAME.test: one OPERATION on the printer with the
# further LINES (attributes, then expectations).
write_ipp_test() {
    local name=$1 operation=$2 lines=$3
    printf '{\n    OPERATION %s\n    GROUP operation-attributes-tag
    ATTR charset attributes-charset utf-8
    ATTR naturalLanguage attributes-natural-language en
    ATTR uri printer-uri $uri\n%s\n    STATUS successful-ok\n}\n' \
        "$operation" "$lines" > "$WORK/$name.test"
}

# A Print-Job that does not wait for the job, Get-Jobs, the printer's count
# of printed labels, and Cancel-Job.
write_ipp_test print-only Print-Job '    ATTR name requesting-user-name $user
    ATTR mimeMediaType document-format $filetype
    ATTR name job-name $jobname
    FILE $filename'
write_ipp_test get-jobs Get-Jobs '    ATTR keyword which-jobs $which
    ATTR keyword requested-attributes job-id,job-name,job-state,job-state-message
    DISPLAY job-id
    DISPLAY job-name
    DISPLAY job-state
    DISPLAY job-state-message'
write_ipp_test impressions Get-Printer-Attributes \
    '    ATTR keyword requested-attributes printer-impressions-completed
    DISPLAY printer-impressions-completed'
write_ipp_test cancel-job Cancel-Job '    ATTR integer job-id $jobid
    ATTR name requesting-user-name $user'

# Sends FILE of TYPE as job JOB to printer NAME without waiting for the job;
# fails when the request is refused or takes longer than SECONDS
# (REQUEST_SECONDS).
send_job() {
    local name=$1 file=$2 type=$3 job=$4 seconds=${5:-$REQUEST_SECONDS}
    timeout "$seconds" ipptool -T "$seconds" -t -d filetype="$type" \
        -d jobname="$job" -f "$file" "ipp://127.0.0.1:$APP_PORT/ipp/print/$name" \
        "$WORK/print-only.test" > "$WORK/$job.ipp" 2>&1 \
        || { cat "$WORK/$job.ipp" >&2; fail "job $job was refused or hung"; }
}

# Lists the jobs of printer NAME that WHICH (completed, not-completed)
# selects, one "NAME|STATE|MESSAGE" line each.
list_jobs() {
    local name=$1 which=$2
    timeout "$REQUEST_SECONDS" ipptool -t -d which="$which" \
        "ipp://127.0.0.1:$APP_PORT/ipp/print/$name" "$WORK/get-jobs.test" 2> /dev/null |
        awk -F' = ' '
            /job-name \(/ { job = $2 }
            /job-state \(/ { state = $2 }
            /job-state-message \(/ { print job "|" state "|" $2 }'
}

# Waits until printer NAME has no job left to print, at most SECONDS.
wait_idle() {
    local name=$1 seconds=$2 i
    for i in $(seq 1 $((seconds * 5))); do
        [ -z "$(list_jobs "$name" not-completed)" ] && return 0
        sleep 0.2
    done
    fail "printer $name still has jobs after ${seconds}s: $(list_jobs "$name" not-completed | head -n 3)"
}

# The "STATE|MESSAGE" of finished job JOB of printer NAME.
job_end() {
    list_jobs "$1" completed | awk -F'|' -v job="$2" '$1 == job { print $2 "|" $3 }'
}

# Starts a Print-Job of a PWG raster for job-name JOB on printer NAME over a
# raw connection, sends its first BYTES bytes of document data in a chunk,
# and then nothing: the connection stays open on descriptor $STALL_FD.
# JOB_ATTRIBUTES, if given, are the request's job attributes (printf
# escapes).
start_silent_upload() {
    local name=$1 job=$2 bytes=$3 uri="ipp://127.0.0.1:$APP_PORT/ipp/print/$1"
    local body="$WORK/$job.body"
    {
        printf '\x02\x00\x00\x02\x00\x00\x00\x01\x01'
        ipp_attribute 47 attributes-charset utf-8
        ipp_attribute 48 attributes-natural-language en
        ipp_attribute 45 printer-uri "$uri"
        ipp_attribute 42 requesting-user-name silent
        ipp_attribute 49 document-format image/pwg-raster
        ipp_attribute 42 job-name "$job"
        printf "${4:-}"
        printf '\x03'
        head -c "$bytes" "$WORK/label.pwg"
    } > "$body"
    exec {STALL_FD}<> "/dev/tcp/127.0.0.1/$APP_PORT"
    {
        printf 'POST /ipp/print/%s HTTP/1.1\r\nHost: 127.0.0.1:%s\r\n' "$name" "$APP_PORT"
        printf 'Content-Type: application/ipp\r\nTransfer-Encoding: chunked\r\n\r\n'
        printf '%x\r\n' "$(stat -c %s "$body")"
        cat "$body"
        printf '\r\n'
    } >&"$STALL_FD"
}

# A 4 x 2 in label at 203 dpi, as the client sends it and as the filter
# prints it with the application's default halftone.
"$APP_PAGES" --test-page 812 406 "$WORK/label.pgm"
"$APP_PAGES" "$WORK/label.pgm" 203 "$WORK/label.pwg" "$WORK/label.png" oe_4x2-label_4x2in
"$RASTERWRITE" -o "$WORK/label.ras" --res 203 "$WORK/label.pgm"
filter_output tavtl4.ppd "$WORK/label.ras" "HalftoneType=Auto" "$WORK/label.expected"

# ---- Load ----
for round in $(seq 1 "$ROUNDS"); do
    app_start
    printer=load$round
    app_add_printer "$printer" tavel_tl4_203dpi
    pids=()
    for client in $(seq 1 "$CLIENTS"); do
        (
            for job in $(seq 1 "$JOBS"); do
                send_job "$printer" "$WORK/label.pwg" image/pwg-raster "c$client-j$job"
            done
        ) &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do
        wait "$pid" || fail "round $round: a client's job was refused or hung"
    done
    wait_idle "$printer" "$REQUEST_SECONDS"
    # Every job printed once (the fresh printer counts one label per job),
    # each with the filter's bytes.
    completed=$(timeout "$REQUEST_SECONDS" ipptool -t \
        "ipp://127.0.0.1:$APP_PORT/ipp/print/$printer" "$WORK/impressions.test" |
        sed -n 's/^ *printer-impressions-completed (integer) = //p')
    [ "$completed" = $((CLIENTS * JOBS)) ] \
        || fail "round $round: the printer counts '$completed' labels, expected $((CLIENTS * JOBS))"
    for client in $(seq 1 "$CLIENTS"); do
        for job in $(seq 1 "$JOBS"); do
            cmp -s "$WORK/label.expected" "$(app_output "$printer" "c$client-j$job")" \
                || fail "round $round: job c$client-j$job did not print the filter's bytes"
        done
    done
    app_stop_within "$STOP_SECONDS" "after round $round"
    [ -s "$WORK/app/state" ] || fail "round $round: the state file is empty"
done

# ---- Hostile documents and clients ----
app_start
app_add_printer tl4 tavel_tl4_203dpi

# Documents that must fail: name, file, type, a part of the job's message.
size=$(stat -c %s "$WORK/label.pwg")
head -c $((size / 2)) "$WORK/label.pwg" > "$WORK/cut.pwg"
"$APP_PAGES" --blank-png 20000 20000 "$WORK/huge.png"
png_size=$(stat -c %s "$WORK/label.png")
{ head -c 100 "$WORK/label.png"; head -c $((png_size - 100)) /dev/zero; } > "$WORK/damaged.png"
gs -q -dNOPAUSE -dBATCH -sDEVICE=jpeggray -r203 -g812x406 -o "$WORK/label.jpg" \
    "$E2E_DATA_DIR/label_box.ps" || fail "ghostscript could not write the JPEG"
jpeg_size=$(stat -c %s "$WORK/label.jpg")
head -c $((jpeg_size / 2)) "$WORK/label.jpg" > "$WORK/damaged.jpg"
# The same JPEG claiming 30000 x 30000 pixels in its frame header (SOF0:
# FF C0, length, precision, then height and width).
sof=$(grep -obUaP '\xff\xc0' "$WORK/label.jpg" | head -n 1 | cut -d: -f1)
[ -n "$sof" ] || fail "the JPEG has no baseline frame header"
{
    head -c $((sof + 5)) "$WORK/label.jpg"
    printf '\x75\x30\x75\x30'
    tail -c +$((sof + 10)) "$WORK/label.jpg"
} > "$WORK/huge.jpg"
{ echo "%PDF-1.4"; head -c 3000 /dev/zero | tr '\0' 'x'; } > "$WORK/damaged.pdf"
table="damaged.pdf application/pdf PDF document is damaged
cut.pwg image/pwg-raster ends inside page 1
huge.png image/png 20000x20000 pixels: more than this printer can print
damaged.png image/png PNG image is damaged
huge.jpg image/jpeg 30000x30000 pixels: more than this printer can print
damaged.jpg image/jpeg JPEG image is damaged"
while read -r file type message; do
    job=${file/./-}
    send_job tl4 "$WORK/$file" "$type" "$job"
done <<< "$table"
wait_idle tl4 "$REQUEST_SECONDS"
while read -r file type message; do
    job=${file/./-}
    end=$(job_end tl4 "$job")
    [ "${end%%|*}" = aborted ] || fail "$file: the job ended '$end', expected aborted"
    grep -q -F -- "$message" <<< "${end#*|}" || fail "$file: message '${end#*|}' lacks '$message'"
    out=$(app_output tl4 "$job")
    [ ! -s "$out" ] || fail "$file: the printer received $(stat -c %s "$out") bytes"
done <<< "$table"

# A client that goes silent inside its upload loses its job after 6 s once a
# job sent meanwhile waits for its turn; that job then prints.
start=$(date +%s)
start_silent_upload tl4 silent 1000
sleep 1
send_job tl4 "$WORK/label.pwg" image/pwg-raster behind-silent $((STALL_SECONDS + REQUEST_SECONDS)) &
behind=$!
wait "$behind" || fail "the job behind a silent client was refused or hung"
took=$(($(date +%s) - start))
[ "$took" -ge $((STALL_SECONDS - 2)) ] || fail "the silent client lost its job after ${took}s, before ${STALL_SECONDS}s"
exec {STALL_FD}>&-
wait_idle tl4 "$REQUEST_SECONDS"
cmp -s "$WORK/label.expected" "$(app_output tl4 behind-silent)" \
    || fail "the job behind the silent client did not print the filter's bytes"
[ "$(job_end tl4 silent | cut -d'|' -f1)" = aborted ] \
    || fail "the silent client's job ended '$(job_end tl4 silent)', expected aborted"

# A raster refused before its job exists (copies 0) while its client keeps
# the connection open: the job sent behind it gets the turn and prints.
start_silent_upload tl4 no-copies 1000 '\x02\x21\x00\x06copies\x00\x04\x00\x00\x00\x00'
sleep 1
send_job tl4 "$WORK/label.pwg" image/pwg-raster behind-refused
wait_idle tl4 "$REQUEST_SECONDS"
cmp -s "$WORK/label.expected" "$(app_output tl4 behind-refused)" \
    || fail "the job behind a refused request did not print the filter's bytes"
exec {STALL_FD}>&-

# Cancel-Job ends a silent upload at once.
start_silent_upload tl4 canceled 1000
sleep 1
jobid=$(timeout "$REQUEST_SECONDS" ipptool -t -d which=not-completed \
    "ipp://127.0.0.1:$APP_PORT/ipp/print/tl4" "$WORK/get-jobs.test" |
    sed -n 's/^ *job-id (integer) = //p' | head -n 1)
[ -n "$jobid" ] || fail "the silent upload made no job"
timeout "$REQUEST_SECONDS" ipptool -q -d jobid="$jobid" \
    "ipp://127.0.0.1:$APP_PORT/ipp/print/tl4" "$WORK/cancel-job.test" || fail "Cancel-Job failed"
wait_idle tl4 5
exec {STALL_FD}>&-

# SIGTERM while an upload is silent and a job waits behind it.
start_silent_upload tl4 at-stop 1000
sleep 1
send_job tl4 "$WORK/label.pwg" image/pwg-raster at-stop-behind 2> /dev/null &
sleep 1
app_stop_within "$STOP_SECONDS" "with a silent upload and a job waiting"
exec {STALL_FD}>&-
wait || true

echo "PASS: $ROUNDS rounds of $CLIENTS x $JOBS jobs, $(wc -l <<< "$table") hostile documents, silent clients, stops in time"
