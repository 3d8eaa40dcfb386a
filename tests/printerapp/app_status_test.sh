#!/bin/bash
# The printer application asks a TSPL printer for its status: a private
# instance on 127.0.0.1 with a TL-4 on tcp://, against tspl-sim:
#  - paper out before a three-copy job, and again after two labels: the
#    printer's reasons show media-empty, the job stays processing with
#    "Waiting for the printer: out of paper", completes only once paper is
#    loaded, and every label comes out exactly once;
#  - a job waiting for paper is canceled at once and prints nothing; the
#    status page's job table says why each job waits or ended;
#  - head open, ribbon out: the reason shows on the idle printer, a job
#    waits and nothing prints until it clears;
#  - six PNG jobs sent back to back while the paper is out print in the
#    order they were accepted (job N on the Nth label size), the waiting
#    ones saying why; the first from a slow client whose document arrives
#    a second after its job exists, which must wait for all of it;
#  - a printer that never answered: its jobs print, after one unanswered
#    query no query at all is sent (the printer receives the bytes a file
#    gets), and its status page says it does not report its status;
#  - a printer that answered before and misses a query is asked again: the
#    paper pulled meanwhile holds the next job, which completes only once
#    the labels are out;
#  - socket:// printers: one that cannot be reached is offline (not taken
#    for a silent one), its job says why it waits, and Get-Printer-
#    Attributes and the web pages answer at once from the last status;
#  - query-printer-status false: not one query byte reaches the printer;
#  - the Printing Defaults form saves values in range and refuses, with a
#    message and nothing saved, values out of range or not offered;
#  - a server whose job waits for paper ends within 10 s of SIGTERM.
#
#   app_status_test.sh        (tools named in the environment, see app_lib.sh)
source "$(dirname "$0")/../e2e/e2e_lib.sh"
source "$(dirname "$0")/app_lib.sh"

# Bound on the wait for a reason or a job's end; the application asks every
# second while a job waits, and on every Get-Printer-Attributes otherwise.
readonly WAIT_SECONDS=30
SIM=$E2E_BUILD_DIR/tools/tspl-sim

e2e_setup

# The simulated printer, operated through a FIFO on its standard input.
mkdir -p "$WORK/jobs"
start_sim "$SIM" --roll 0 --label-time 100 --jobs "$WORK/jobs"

app_start

app_add_printer tl4 tavel_tl4_203dpi "tcp://127.0.0.1:$SIM_PORT"

# A printer that cannot be reached is offline, not one without status; it
# is named with socket://, as PAPPL's device list and lpinfo give it.
app_add_printer gone tavel_tl4_203dpi "socket://127.0.0.1:$(pick_port)"

cat > "$WORK/messages.test" <<'EOF'
{
    OPERATION Get-Jobs
    GROUP operation-attributes-tag
    ATTR charset attributes-charset utf-8
    ATTR naturalLanguage attributes-natural-language en
    ATTR uri printer-uri $uri
    ATTR keyword which-jobs not-completed
    ATTR keyword requested-attributes job-id,job-state-message
    STATUS successful-ok
    DISPLAY job-id
    DISPLAY job-state-message
}
EOF
cat > "$WORK/print-copies.test" <<'EOF'
{
    OPERATION Print-Job
    GROUP operation-attributes-tag
    ATTR charset attributes-charset utf-8
    ATTR naturalLanguage attributes-natural-language en
    ATTR uri printer-uri $uri
    ATTR name requesting-user-name $user
    ATTR mimeMediaType document-format image/png
    GROUP job-attributes-tag
    ATTR keyword media $media
    FILE $filename
    STATUS successful-ok
}
EOF
cat > "$WORK/switch.test" <<'EOF'
{
    OPERATION Set-Printer-Attributes
    GROUP operation-attributes-tag
    ATTR charset attributes-charset utf-8
    ATTR naturalLanguage attributes-natural-language en
    ATTR uri printer-uri $uri
    ATTR name requesting-user-name $user
    GROUP printer-attributes-tag
    ATTR boolean query-printer-status-default false
    STATUS successful-ok
}
EOF
# The printer NAME's status page over HTTP/1.0, read up to the end of its
# HTML (PAPPL keeps the connection open for another request).
status_page() { web_page "$1/status"; }
home_page() { web_page ""; }
web_page() {
    local page= line
    exec 5<> "/dev/tcp/127.0.0.1/$APP_PORT"
    printf 'GET /%s HTTP/1.0\r\nHost: 127.0.0.1:%s\r\n\r\n' "$1" "$APP_PORT" >&5
    while IFS= read -r -t 10 line <&5; do
        page+="$line"$'\n'
        [[ $line == *"</html>"* ]] && break
    done
    exec 5<&-
    grep -q '^HTTP/1\.[01] 200' <<< "$page" || fail "the page /$1 cannot be read: $page"
    echo "$page"
}
ipp() { ipptool -t "ipp://127.0.0.1:$APP_PORT/ipp/print/$1" "$WORK/$2.test" 2> /dev/null; }
reasons() { app_printer_attribute "${1:-tl4}" printer-state-reasons; }
messages() { ipp "${1:-tl4}" messages | sed -n 's/^ *job-state-message (.*) = //p'; }

# Waits until COMMAND's output holds (or with "!" lacks) WORD.
wait_for() {
    local negate= command=$1 word=$2 i
    if [ "$word" = "!" ]; then
        negate=1
        word=$3
    fi
    for i in $(seq 1 $((WAIT_SECONDS * 5))); do
        if grep -q -F -- "$word" <<< "$($command)"; then
            [ -z "$negate" ] && return 0
        else
            [ -n "$negate" ] && return 0
        fi
        sleep 0.2
    done
    local verb="does not hold"
    [ -n "$negate" ] && verb="still holds"
    fail "$command: '$($command)' $verb '$word' after ${WAIT_SECONDS}s"
}

# Sends JOB (COPIES copies of the label, the PWG raster unless FILE and
# TYPE say otherwise) to PRINTER in the background;
# job_done JOB tells whether it has ended, wait_job JOB waits for that.
declare -A JOB_PIDS
submit() {
    local printer=$1 job=$2 copies=$3 file=${4:-$WORK/label.pwg} type=${5:-image/pwg-raster}
    app_print "$printer" print-label "$file" "$type" "$job" copies="$copies" &
    JOB_PIDS[$job]=$!
}
job_done() { ! kill -0 "${JOB_PIDS[$1]}" 2> /dev/null; }
wait_job() {
    local i
    for i in $(seq 1 $((WAIT_SECONDS * 5))); do
        job_done "$1" && break
        sleep 0.2
    done
    job_done "$1" || fail "job $1 has not ended ${WAIT_SECONDS}s after it could print"
    wait "${JOB_PIDS[$1]}" || fail "job $1 could not be sent"
}
expect_printed() {
    [ "$(printed)" -eq "$1" ] || fail "$2: the printer has printed $(printed) labels in all, not $1"
}

"$APP_PAGES" --test-page 812 406 "$WORK/label.pgm"
"$APP_PAGES" "$WORK/label.pgm" 203 "$WORK/label.pwg" "$WORK/label.png" oe_4x2-label_4x2in

# Paper out before the job; two labels of paper leave the third copy in the
# printer until more is loaded.
submit tl4 three 3
wait_for reasons media-empty
wait_for messages "Waiting for the printer: out of paper"
sleep 1
expect_printed 0 "with no paper"
operate load 2
wait_for reasons '!' media-empty
wait_for reasons media-empty
expect_printed 2 "a roll of 2 labels"
job_done three && fail "job three ended with a label still in the printer"
operate load 10
wait_job three
check_job_state three completed ""
expect_printed 3 "three copies"
wait_for reasons '!' media-empty

# A job waiting for paper is canceled at once and sends no label.
operate paper-out
submit tl4 canceled 1
wait_for messages "Waiting for the printer: out of paper"
ipptool -t -d job-id=2 "ipp://127.0.0.1:$APP_PORT/ipp/print/tl4" \
    /usr/share/cups/ipptool/cancel-current-job.test > "$WORK/cancel.log" 2>&1 \
    || { cat "$WORK/cancel.log" >&2; fail "Cancel-Job failed"; }
wait_job canceled
check_job_state canceled canceled "Canceled while waiting for the printer"
# The status page's job table says why each job ended: job 1 printed, job 2
# canceled while it waited.
status_page tl4 > "$WORK/jobs.html"
job_row() { grep -o "<tr><td>$2</td><td>[^<]*</td><td>[^<]*</td><td>[^<]*</td></tr>" "$1"; }
job_row "$WORK/jobs.html" 2 | grep -q "<td>Canceled</td><td>Canceled while waiting for the printer.</td>" \
    || fail "the status page does not show why job 2 ended: $(job_row "$WORK/jobs.html" 2)"
job_row "$WORK/jobs.html" 1 | grep -q "<td>Completed</td>" \
    || fail "the status page does not show job 1 completed: $(job_row "$WORK/jobs.html" 1)"
operate load 10
sleep 1
expect_printed 3 "the canceled job"

# Head open, then ribbon out: nothing prints until it is cleared.
for condition in "open close cover-open" "ribbon-out ribbon-in marker-supply-empty"; do
    read -r stop go reason <<< "$condition"
    operate "$stop"
    wait_for reasons "$reason"
    count=$(printed)
    submit tl4 "$stop" 1
    wait_for messages "Waiting for the printer"
    sleep 1
    expect_printed "$count" "$stop"
    operate "$go"
    wait_job "$stop"
    check_job_state "$stop" completed ""
    expect_printed $((count + 1)) "one label after $stop"
    wait_for reasons '!' "$reason"
done

# Jobs in the order they were accepted: six PNG jobs while the paper is
# out, each sent once the one before it was accepted.
operate paper-out
wait_for reasons media-empty
# Job N is numbered by its label size, which each page's SIZE command
# names in whole dots (12.7 mm is 101 dots at 203 dpi, 12.6 mm): the sizes
# the printer received, in turn, give the printing order.
readonly ORDER_MEDIA=(oe_1x0-5-label_1x0.5in oe_1-5x1-label_1.5x1in oe_2x1-label_2x1in
    oe_3x1-label_3x1in oe_4x1-label_4x1in oe_4x2-label_4x2in)
readonly ORDER_SIZES="25.4x12.6 38.0x25.4 50.8x25.4 76.2x25.4 101.6x25.4 101.6x50.8 "
connections_before=$(ls "$WORK/jobs" | wc -l)
active_jobs() { ipp tl4 messages | grep -c 'job-id (integer)' || true; }
printed_sizes() {
    ls "$WORK/jobs"/job-*.bin | tail -n +$((connections_before + 1)) | xargs cat \
        | tr -d '\r' | sed -n 's/^SIZE \([0-9.]*\) mm, \([0-9.]*\) mm$/\1x\2/p' | uniq \
        | tr '\n' ' '
}
# A Print-Job of the PNG label on MEDIA to the printer NAME from a slow
# client: the request and the document's first 1000 bytes, and the rest a
# second later. Its job exists before its document is whole.
slow_print() {
    local name=$1 media=$2 fd line
    {
        printf '\x02\x00\x00\x02\x00\x00\x00\x01\x01'
        ipp_attribute 47 attributes-charset utf-8
        ipp_attribute 48 attributes-natural-language en
        ipp_attribute 45 printer-uri "ipp://127.0.0.1:$APP_PORT/ipp/print/$name"
        ipp_attribute 42 requesting-user-name slow
        ipp_attribute 49 document-format image/png
        printf '\x02'
        ipp_attribute 44 media "$media"
        printf '\x03'
        head -c 1000 "$WORK/label.png"
    } > "$WORK/slow.head"
    exec {fd}<> "/dev/tcp/127.0.0.1/$APP_PORT"
    {
        printf 'POST /ipp/print/%s HTTP/1.1\r\nHost: 127.0.0.1:%s\r\n' "$name" "$APP_PORT"
        printf 'Content-Type: application/ipp\r\nTransfer-Encoding: chunked\r\n\r\n'
        printf '%x\r\n' "$(stat -c %s "$WORK/slow.head")"
        cat "$WORK/slow.head"
        printf '\r\n'
    } >&"$fd"
    sleep 1
    # In a subshell: a server that closed the connection ends it alone.
    (
        printf '%x\r\n' $(($(stat -c %s "$WORK/label.png") - 1000))
        tail -c +1001 "$WORK/label.png"
        printf '\r\n0\r\n\r\n'
    ) >&"$fd" 2> /dev/null || true
    IFS= read -r -t 10 line <&"$fd" || line=
    exec {fd}<&-
    [[ $line == "HTTP/1.1 200"* ]] || fail "the slow client's Print-Job was answered '$line'"
}
# The first job comes from a slow client: it must not start (and fail to
# read its document) before the document is whole.
for n in 1 2 3 4 5 6; do
    if [ "$n" -eq 1 ]; then
        slow_print tl4 "${ORDER_MEDIA[0]}"
    else
        ipptool -t -d media="${ORDER_MEDIA[$((n - 1))]}" -f "$WORK/label.png" \
            "ipp://127.0.0.1:$APP_PORT/ipp/print/tl4" \
            "$WORK/print-copies.test" > "$WORK/order-$n.ipp" 2>&1 \
            || { cat "$WORK/order-$n.ipp" >&2; fail "job order-$n was not accepted"; }
    fi
    wait_for active_jobs "$n"
done
wait_for messages "Waiting for the jobs accepted before it to print"
# The page shows why they wait: the first for paper (once its printer has
# answered that it has none), the others held.
tl4_status_page() { status_page tl4; }
wait_for tl4_status_page "<td>Printing</td><td>Waiting for the printer: out of paper</td>"
held_rows() {
    status_page tl4 | grep -c "<td>Held</td><td>Waiting for the jobs accepted before it to print.</td>" || true
}
wait_for held_rows 5
operate load 100
for i in $(seq 1 $((WAIT_SECONDS * 5))); do
    [ "$(printed_sizes | wc -w)" -ge 6 ] && break
    sleep 0.2
done
[ "$(printed_sizes)" = "$ORDER_SIZES" ] \
    || fail "six jobs accepted in turn printed as labels of $(printed_sizes), not $ORDER_SIZES"
for i in $(seq 1 $((WAIT_SECONDS * 5))); do
    [ "$(active_jobs)" -eq 0 ] && break
    sleep 0.2
done
[ "$(active_jobs)" -eq 0 ] || fail "the six jobs have not ended ${WAIT_SECONDS}s after they printed"

# What a file device receives for one label: the bytes the printer must get
# when nobody asks it anything.
app_add_printer file tavel_tl4_203dpi
app_print file print-label "$WORK/label.pwg" image/pwg-raster plain copies=1
check_job_state plain completed ""
# The bytes of the last connection that printed (background status queries
# make connections of their own).
last_bytes() { grep -l -a "^PRINT " "$WORK/jobs"/job-*.bin | tail -n 1; }

# A printer that never answered: one unanswered query, then none.
operate silent
app_add_printer mute tavel_tl4_203dpi "socket://127.0.0.1:$SIM_PORT"
count=$(printed)
submit mute silent-1 1
wait_job silent-1
check_job_state silent-1 completed ""
submit mute plain 1
wait_job plain
check_job_state plain completed ""
cmp "$(last_bytes)" "$(app_output file plain)" \
    || fail "the silent printer was asked again: its second job's bytes differ from a file's"
for i in $(seq 1 25); do
    [ "$(printed)" -eq $((count + 2)) ] && break
    sleep 0.2
done
expect_printed $((count + 2)) "two jobs on the silent printer"
status_page mute > "$WORK/status.html"
grep -q "does not report its status" "$WORK/status.html" \
    || fail "the status page does not say the printer does not report its status"

# The printer that answered before misses a query: its next job waits and
# asks again, and sees the paper pulled meanwhile.
count=$(printed)
submit tl4 blind 1
wait_for messages "does not answer its status query"
operate paper-out
operate talk
wait_for messages "Waiting for the printer: out of paper"
sleep 1
expect_printed "$count" "the job after a missed query, with no paper"
operate load 10
wait_job blind
check_job_state blind completed ""
expect_printed $((count + 1)) "the job after a missed query"

# The unreachable socket:// printer: offline, and every answer at once,
# served from the last status, while its job waits for it.
wait_for "reasons gone" offline
submit gone unreachable 1
wait_for "messages gone" "Waiting for the printer: Unable to connect"
status_page gone > "$WORK/gone.html"
grep -q "could not be reached" "$WORK/gone.html" \
    || fail "the status page does not say the printer could not be reached: $(cat "$WORK/gone.html")"
# Each answer comes far below the connect timeout of an unreachable
# printer, which they once waited for.
for what in "reasons gone" "status_page gone" "home_page"; do
    start=$EPOCHREALTIME
    $what > /dev/null
    took=$(( ${EPOCHREALTIME/./} - ${start/./} ))
    [ "$took" -lt 2000000 ] || fail "$what took $((took / 1000)) ms with an unreachable printer"
done

# The switch off: not one query byte, not even on Get-Printer-Attributes.
app_add_printer off tavel_tl4_203dpi "tcp://127.0.0.1:$SIM_PORT"
ipp off switch > "$WORK/switch.log" || fail "query-printer-status-default could not be set"
app_print off print-label "$WORK/label.pwg" image/pwg-raster plain copies=1
check_job_state plain completed ""
cmp "$(last_bytes)" "$(app_output file plain)" \
    || fail "the printer with queries off received other bytes than a file"
connections=$(ls "$WORK/jobs" | wc -l)
reasons off > /dev/null
sleep 2
reasons off > /dev/null
[ "$(ls "$WORK/jobs" | wc -l)" -eq "$connections" ] \
    || fail "Get-Printer-Attributes on the printer with queries off reached the printer"

# The Printing Defaults form (as an administrator: root on loopback) saves
# values the printer takes and refuses, saying why and saving nothing, a
# value out of range or not among the printer's choices.
app_add_printer forms tavel_tl4_203dpi
forms_url="http://127.0.0.1:$APP_PORT/forms/printing"
# The form cookie of the page goes with every post (it is marked secure:
# curl sends it over http only when told).
session=$(curl -s -m 10 -D "$WORK/forms-headers.txt" "$forms_url" | sed -n 's/.*name="session" value="\([^"]*\)".*/\1/p' | head -n 1)
[ -n "$session" ] || fail "no session token in the Printing Defaults page"
forms_cookie=$(sed -n 's/^Set-Cookie: \(tavel-form=[^;]*\);.*/\1/p' "$WORK/forms-headers.txt" | head -n 1)
post_defaults() {
    curl -s -m 10 -H "Cookie: $forms_cookie" --data-urlencode "session=$session" "$@" "$forms_url" \
        > "$WORK/post.html" \
        || fail "the Printing Defaults form could not be posted"
}
defaults() {
    echo "$(app_printer_attribute forms image-darkening-default)" \
        "$(app_printer_attribute forms halftone-type-default)" \
        "$(app_printer_attribute forms media-gap-height-default)"
}
post_defaults --data image-darkening=-40 --data halftone-type=stucki --data media-gap-height=10 \
    --data print-darkness=100 --data print-speed=6
grep -q "Changes saved." "$WORK/post.html" || fail "values in range were not saved: $(cat "$WORK/post.html")"
[ "$(defaults)" = "-40 stucki 10" ] || fail "the saved defaults are $(defaults)"
for refused in "image-darkening=99|Image darkening: 99 is outside -40 to 40." \
    "image-darkening=4x|Image darkening: &quot;4x&quot; is not a whole number." \
    "media-gap-height=11|Gap height: 11 is outside 0 to 10." \
    "halftone-type=bogus|Halftoning: &quot;bogus&quot; is not one of the printer" \
    "print-darkness=101|Print Darkness: 101 is outside 0 to 100." \
    "print-speed=7|Print Speed: 7 is outside 2 to 6."; do
    post_defaults --data halftone-type=burkes --data "${refused%%|*}"
    grep -q "Not saved: .*${refused#*|}" "$WORK/post.html" \
        || fail "${refused%%|*} was not refused with '${refused#*|}': $(grep -a -o 'banner">[^<]*' "$WORK/post.html")"
    [ "$(defaults)" = "-40 stucki 10" ] || fail "${refused%%|*}: a refused form changed the defaults to $(defaults)"
done
# Over IPP (Set-Printer-Attributes) the same: each bad value refused, none
# saved, not even a valid one sent beside it.
ipptool -T 10 -t "ipp://127.0.0.1:$APP_PORT/ipp/print/forms" "$APP_TESTS/set-bad-defaults.test" \
    > "$WORK/set-bad.log" 2>&1 \
    || fail "Set-Printer-Attributes with bad values: $(grep -a -E 'FAIL|EXPECTED|status' "$WORK/set-bad.log" | head -n 6)"
[ "$(defaults)" = "-40 stucki 10" ] || fail "a refused Set-Printer-Attributes changed the defaults to $(defaults)"

# A server whose job waits for paper ends within 10 s of SIGTERM.
app_add_printer waits tavel_tl4_203dpi "tcp://127.0.0.1:$SIM_PORT"
operate paper-out
app_print waits print-label "$WORK/label.pwg" image/pwg-raster stopped copies=1 \
    > /dev/null 2>&1 &
for i in $(seq 1 $((WAIT_SECONDS * 5))); do
    grep -q "Waiting for the printer: out of paper" <<< "$(ipp waits messages)" && break
    sleep 0.2
done
app_stop_within 10 "while a job waited for paper"

echo "PASS: conditions reported and waited for, every label once, silent and switched-off printers not asked"
