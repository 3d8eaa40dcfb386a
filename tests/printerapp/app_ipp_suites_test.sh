#!/bin/bash
# IPP conformance of the application's printers: ipptool's own suites
# (cups-ipp-utils) ipp-1.1, ipp-2.0, ipp-2.1, ipp-2.2 and ipp-everywhere
# against each of the three drivers on a file:// device of a private
# instance on 127.0.0.1, each suite printing a PWG raster page of the
# driver's default size. A suite may fail only the checks listed for it
# below, each for a reason the README gives: attributes PAPPL 1.3.1 builds
# itself without the values the suites want (a driver adding them would
# duplicate them), and features the printers do not have, which are not
# claimed (overrides, page ranges, alerts, event life). Then, on the same
# server, clients polling at once, and the web page: the vendor settings'
# labels from the strings the suites ran with, and the Label Mode page.
#
#   app_ipp_suites_test.sh        (tools named in the environment, see app_lib.sh)
source "$(dirname "$0")/../e2e/e2e_lib.sh"
source "$(dirname "$0")/app_lib.sh"

readonly SUITES=(ipp-1.1 ipp-2.0 ipp-everywhere ipp-2.1 ipp-2.2)
readonly PAPPL_OWN='operations-supported|multiple-document-jobs-supported|which-jobs-supported'
declare -A ALLOWED=(
    [ipp-everywhere]='overrides-supported'
    [ipp-2.1]="$PAPPL_OWN|ippget-event-life"
    [ipp-2.2]="$PAPPL_OWN|ippget-event-life|overrides-supported|page-ranges-supported|printer-alert"
)

for suite in "${SUITES[@]}"; do
    [ -f "/usr/share/cups/ipptool/$suite.test" ] \
        || fail "/usr/share/cups/ipptool/$suite.test is missing; run scripts/install-deps.sh (cups-ipp-utils)"
done

e2e_setup
app_start
# Driver, name, default page in dots and dpi.
printers=("tavel_tl4_203dpi tl4 812 1218 203" "tavel_tl4_300dpi tl4hd 1200 1800 300"
    "tavel_ts8_300dpi ts8 2480 3508 300")
for entry in "${printers[@]}"; do
    read -r driver name width height dpi <<< "$entry"
    app_add_printer "$name" "$driver"
    "$APP_PAGES" --test-page "$width" "$height" "$WORK/$name.pgm"
    "$APP_PAGES" "$WORK/$name.pgm" "$dpi" "$WORK/$name.pwg" "$WORK/$name.png"
done
# The suites check printer-up-time against the time of day: give the
# printers a second of uptime.
sleep 1

failures=()
for entry in "${printers[@]}"; do
    read -r driver name width height dpi <<< "$entry"
    for suite in "${SUITES[@]}"; do
        log="$WORK/$name-$suite.log"
        status=0
        ipptool -t -f "$WORK/$name.pwg" "ipp://127.0.0.1:$APP_PORT/ipp/print/$name" \
            "/usr/share/cups/ipptool/$suite.test" > "$log" 2>&1 || status=$?
        # Each failed expectation names its attribute on an EXPECTED, GOT
        # or BAD line; those not allowed for this suite count.
        unexpected=$(grep -a -E '^ +(EXPECTED|GOT|BAD):' "$log" \
            | grep -a -v -E "${ALLOWED[$suite]:-^\$}" || true)
        failed=$(grep -a -c '\[FAIL\]' "$log" || true)
        echo "$driver $suite: $failed failed test(s), exit status $status"
        if [ -n "$unexpected" ] || { [ "$failed" -eq 0 ] && [ "$status" -ne 0 ]; }; then
            grep -a -E '\[FAIL\]|^ +(EXPECTED|GOT|BAD):|^ipptool' "$log" | head -n 20 >&2
            failures+=("$driver $suite")
        fi
    done
done
[ ${#failures[@]} -eq 0 ] || fail "failed: ${failures[*]}"

# Clients poll as CUPS queues do: four at once, each asking 250 times for
# all of a printer's attributes. ipptool checks every response (an
# attribute listed twice fails it); the printer's attributes and the
# server's memory stay as they were (a warm-up round first, so that the
# threads' memory is counted before).
server_rss_kib() {
    awk '/^VmRSS:/ { print $2 }' "/proc/$APP_PID/status"
}
poll_printer() {
    local polls=$1 client pids=()
    for client in 1 2 3 4; do
        timeout 120 ipptool -t -T 30 -i 0.001 -n "$polls" -d attr=all \
            "ipp://127.0.0.1:$APP_PORT/ipp/print/tl4" "$APP_TESTS/get-printer-attribute.test" \
            > "$WORK/poll-$client.log" 2>&1 &
        pids+=($!)
    done
    for client in 1 2 3 4; do
        wait "${pids[client - 1]}" || {
            grep -a -A 4 '\[FAIL\]' "$WORK/poll-$client.log" | head -n 10 >&2
            fail "polling client $client of $polls Get-Printer-Attributes failed"
        }
    done
}
poll_printer 50
rss_before=$(server_rss_kib)
poll_printer 250
rss_after=$(server_rss_kib)
echo "4 clients x 250 polls: resident memory $rss_before KiB before, $rss_after KiB after"
[ $((rss_after - rss_before)) -lt 1024 ] \
    || fail "the server grew by $((rss_after - rss_before)) KiB in 1000 polls"
# The polls wrote far more than 1 MiB of debug log into the named log
# file, which PAPPL rotated as it went.
[ -f "$WORK/app/log.O" ] || fail "the log file was not rotated: $(ls "$WORK/app")"
languages=$(app_printer_attribute tl4 printer-strings-languages-supported)
[ "$languages" = en ] || fail "printer-strings-languages-supported after the polls: '$languages'"

# One HTTP/1.0 request to the web page, the answer on standard output:
# web_request METHOD PATH [BODY [COOKIE]] (forms need the cookie the
# server's pages give).
web_request() {
    local method=$1 path=$2 body=${3:-} cookie=${4:-}
    exec 3<> "/dev/tcp/127.0.0.1/$APP_PORT" || fail "cannot connect to the web page"
    printf '%s %s HTTP/1.0\r\nHost: localhost\r\nConnection: close\r\nCookie: %s\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n%s' \
        "$method" "$path" "$cookie" "${#body}" "$body" >&3
    # PAPPL keeps the connection open: the page ends with its last chunk.
    local line
    while IFS= read -r -t 10 line <&3; do
        printf '%s\n' "$line"
        [ "$line" = $'0\r' ] && break
    done
    exec 3<&-
}

# The strings the suites run with label the web page's vendor settings.
web_request GET /tl4/printing > "$WORK/printing.html"
for label in "Halftoning:" "Gap height (mm):" "Sierra diffusion (photos)"; do
    grep -q -F "$label" "$WORK/printing.html" || fail "the web page lacks the label '$label'"
done
# Clients fetch the same strings from printer-strings-uri.
strings_uri=$(app_printer_attribute tl4 printer-strings-uri)
[[ "$strings_uri" == "http://127.0.0.1:$APP_PORT/"* ]] || fail "printer-strings-uri is '$strings_uri'"
curl -s -m 10 "$strings_uri" > "$WORK/en.strings" || fail "cannot fetch $strings_uri"
grep -q -F '"halftone-type" = "Halftoning";' "$WORK/en.strings" || fail "$strings_uri does not serve the strings"

# The Label Mode page sets label-mode-configured.
web_request GET /tl4/label-mode > "$WORK/label-form.html"
session=$(sed -n 's/.*name="session" value="\([0-9a-f]*\)".*/\1/p' "$WORK/label-form.html" | head -n 1)
cookie=$(sed -n 's/^Set-Cookie: \(tavel-form=[^;]*\);.*/\1/p' "$WORK/label-form.html" | head -n 1)
[ -n "$session" ] && [ -n "$cookie" ] || fail "the Label Mode page has no form or no form cookie"
web_request POST /tl4/label-mode "session=$session&label-mode=peel-off" "$cookie" > "$WORK/label-mode.html"
grep -q 'Changes saved' "$WORK/label-mode.html" || fail "the Label Mode page did not save"
[ "$(app_printer_attribute tl4 label-mode-configured)" = peel-off ] \
    || fail "the label mode did not change: $(app_printer_attribute tl4 label-mode-configured)"
echo "PASS: the IPP suites on all three drivers fail only where the README says why"

# The command lines of the README, run by a user of their own (nobody when
# root) against a second server of that user's, whose local socket lies in
# the user's own temporary folder.
USER_DIR="$WORK/user"
mkdir -p "$USER_DIR/out"
# PAPPL 1.3.1's own sub-commands leak their option list (a few bytes, gone
# with the process; none of ours calls cupsAddOption): the sanitizer build
# must not take that for a fault of ours.
printf 'leak:cupsAddOption\n' > "$WORK/lsan.supp"
chmod 644 "$WORK/lsan.supp"
USER_RUN=(env TMPDIR="$USER_DIR" HOME="$USER_DIR" LSAN_OPTIONS="suppressions=$WORK/lsan.supp")
if [ "$(id -u)" -eq 0 ]; then
    chmod o+x "$WORK"
    chown -R nobody "$USER_DIR"
    USER_RUN=(setpriv --reuid=nobody --regid=nogroup --clear-groups "${USER_RUN[@]}")
fi
as_user() { "${USER_RUN[@]}" "$@"; }
as_user "$APP" --help > "$WORK/help.txt" || fail "--help failed"
for subcommand in add cancel default delete devices drivers jobs modify options pause printers \
    resume server set-admin-password shutdown status submit; do
    grep -q "^  $subcommand " "$WORK/help.txt" || fail "--help does not list $subcommand"
done
# drivers needs no server: it leaves nothing in the user's folders.
as_user "$APP" drivers > "$WORK/drivers.txt" || fail "drivers failed"
[ "$(cut -d' ' -f1 "$WORK/drivers.txt" | tr '\n' ' ')" = \
    "tavel_tl4_203dpi tavel_tl4_300dpi tavel_ts8_300dpi " ] || fail "drivers: $(cat "$WORK/drivers.txt")"
[ -z "$(find "$USER_DIR" -mindepth 1 ! -name out)" ] \
    || fail "drivers left $(find "$USER_DIR" -mindepth 1 ! -name out | head -n 1)"

USER_PORT=$(pick_port) || skip "no free port on 127.0.0.1"
# Started without a shell function between, so that $! is the server.
"${USER_RUN[@]}" "$APP" server -o server-port="$USER_PORT" -o listen-hostname=127.0.0.1 \
    -o state-file="$USER_DIR/state" -o spool-directory="$USER_DIR/spool" \
    -o log-file=- -o log-level=debug -o file-device-directory="$USER_DIR" \
    > "$WORK/user-server.log" 2>> "$USER_DIR/stderr.log" &
USER_SERVER=$!
stop_user_server() {
    kill -TERM "$USER_SERVER" 2> /dev/null || true
    wait_for_exit "$USER_SERVER" "$APP_STOP_SECONDS" || kill -9 "$USER_SERVER" 2> /dev/null || true
    wait "$USER_SERVER" 2> /dev/null || true
}
E2E_CLEANUP_HOOKS+=(stop_user_server)
SYSTEM="ipp://localhost:$USER_PORT/ipp/system"
for i in $(seq 1 $((APP_START_SECONDS * 10))); do
    ipptool -q "$SYSTEM" "$APP_TESTS/get-system-attributes.test" 2> /dev/null && break
    kill -0 "$USER_SERVER" 2> /dev/null || fail "the user's server ended: $(tail "$USER_DIR/stderr.log")"
    sleep 0.1
done
# drivers and --help while it runs leave its socket alone: an add through
# the socket reaches it.
as_user "$APP" drivers > /dev/null && as_user "$APP" --help > /dev/null
as_user "$APP" add -d socketadd -m tavel_tl4_203dpi -v "file://$USER_DIR/out?ext=tspl" \
    || fail "add through the local socket failed"
as_user "$APP" printers -u "$SYSTEM" | grep -q -x socketadd \
    || fail "the add through the local socket did not reach the running server"

as_user "$APP" add -u "$SYSTEM" -d TL4 -m tavel_tl4_203dpi -v "file://$USER_DIR/out?ext=tspl" \
    || fail "add -u $SYSTEM failed"
"$APP_PAGES" "$WORK/tl4.pgm" 203 "$WORK/user-page.pwg" "$WORK/label.png"
chmod 644 "$WORK/user-page.pwg" "$WORK/label.png"
as_user "$APP" submit -u "$SYSTEM" -d TL4 -o media=oe_4x2-label_4x2in -o halftone-type=stucki \
    "$WORK/label.png" || fail "submit -u $SYSTEM -d TL4 failed"
as_user "$APP" submit -u "$SYSTEM" -d TL4 -n 2 -t two-copies "$WORK/user-page.pwg" \
    || fail "submit -n 2 failed"
# The raster is sent once, printed twice.
for i in $(seq 1 100); do
    grep -a -q '^PRINT' "$USER_DIR/out/two-copies.tspl" 2> /dev/null && break
    sleep 0.1
done
[ "$(grep -a '^PRINT' "$USER_DIR/out/two-copies.tspl")" = $'PRINT 1,2\r' ] \
    || fail "submit -n 2 printed: $(grep -a '^PRINT' "$USER_DIR/out/two-copies.tspl" | tr -d '\r')"
[ -s "$USER_DIR/out/label.png.tspl" ] || fail "submit of label.png printed nothing"

as_user "$APP" pause -u "$SYSTEM" -d TL4 || fail "pause failed"
status=$(as_user "$APP" status -u "$SYSTEM" -d TL4) || fail "status -d TL4 failed"
[[ "$status" =~ ^"TL4: stopped since "[A-Z][a-z][a-z],\ .*" GMT (paused)."$ ]] \
    || fail "status -d TL4 printed '$status'"
status=$(as_user "$APP" status -u "$SYSTEM") || fail "status failed"
grep -q -x 'TL4: stopped (paused).' <<< "$status" || fail "status printed '$status'"

as_user "$APP" delete -u "$SYSTEM" -d TL4 || fail "delete -d TL4 failed"
as_user "$APP" printers -u "$SYSTEM" | grep -q -x TL4 && fail "delete left TL4"
as_user "$APP" delete -u "$SYSTEM" -d TL4 2> "$WORK/delete.err" && fail "a second delete succeeded"
grep -q "no printer named 'TL4'" "$WORK/delete.err" || fail "delete of a missing printer: $(cat "$WORK/delete.err")"
echo "PASS: the README's command lines"

# Its log on standard error, appended to a regular file, is not rotated:
# the server still answers past 2 MiB of it (each poll logs its whole
# response at the debug level).
timeout 120 ipptool -t -T 30 -i 0.001 -n 100 -d attr=all \
    "ipp://127.0.0.1:$USER_PORT/ipp/print/socketadd" "$APP_TESTS/get-printer-attribute.test" \
    > "$WORK/user-polls.log" 2>&1 || fail "polls stopped at $(stat -c %s "$USER_DIR/stderr.log") bytes of log"
log_size=$(stat -c %s "$USER_DIR/stderr.log")
[ "$log_size" -gt $((2 * 1024 * 1024)) ] || fail "only $log_size bytes of log on standard error"
ipptool -q -T 30 "$SYSTEM" "$APP_TESTS/get-system-attributes.test" \
    || fail "the server stopped answering after $log_size bytes of log on standard error"
echo "PASS: $log_size bytes of log on standard error, appended to a file"

# A server that names no address, in a network namespace of its own with a
# link and a DNS-SD service (avahi-daemon on a D-Bus of its own, under a
# private /run): it answers on IPv4 and IPv6, and announces the printers
# added while it runs, and withdraws those deleted.
[ "$(id -u)" -eq 0 ] || { echo "SKIP: the listeners and DNS-SD need a network namespace (root)"; exit 0; }
for tool in avahi-daemon avahi-browse dbus-daemon nsenter; do
    command -v "$tool" > /dev/null || fail "$tool is missing; run scripts/install-deps.sh"
done
NS_LISTEN=tavel-listen-$$
remove_listen_namespace() {
    local pid
    for pid in $(ip netns pids "$NS_LISTEN" 2> /dev/null); do
        kill -9 "$pid" 2> /dev/null || true
    done
    ip netns delete "$NS_LISTEN" 2> /dev/null || true
}
E2E_CLEANUP_HOOKS+=(remove_listen_namespace)
ip netns add "$NS_LISTEN" 2> /dev/null || skip "network namespaces cannot be made here"
ip netns exec "$NS_LISTEN" ip link set lo up
ip netns exec "$NS_LISTEN" ip link add tvla type veth peer name tvlb
ip netns exec "$NS_LISTEN" ip addr add 10.213.78.1/30 dev tvla
ip netns exec "$NS_LISTEN" ip link set tvla up
ip netns exec "$NS_LISTEN" ip link set tvlb up
ip netns exec "$NS_LISTEN" unshare --mount --propagation private \
    sh -c 'mount -t tmpfs tmpfs /run && mkdir /run/dbus /run/avahi-daemon && exec sleep 600' &
NS_HOLDER=$!
in_listen() { nsenter -t "$NS_HOLDER" -m -n "$@"; }
for i in $(seq 1 50); do
    in_listen test -d /run/avahi-daemon 2> /dev/null && break
    sleep 0.1
done
in_listen dbus-daemon --system --fork > /dev/null || fail "cannot start a D-Bus in the namespace"
in_listen avahi-daemon -D --no-chroot || fail "cannot start avahi-daemon in the namespace"
mkdir -p "$USER_DIR/every/out"
chown -R nobody "$USER_DIR/every"
in_listen setpriv --reuid=nobody --regid=nogroup --clear-groups env TMPDIR="$USER_DIR/every" \
    HOME="$USER_DIR/every" "$APP" server -o server-port=8000 -o state-file="$USER_DIR/every/state" \
    -o spool-directory="$USER_DIR/every/spool" -o log-file="$USER_DIR/every/log" \
    -o file-device-directory="$USER_DIR/every" &
for address in 127.0.0.1 '[::1]'; do
    for i in $(seq 1 $((APP_START_SECONDS * 10))); do
        in_listen ipptool -q -T 5 "ipp://$address:8000/ipp/system" \
            "$APP_TESTS/get-system-attributes.test" 2> /dev/null && break
        sleep 0.1
    done
    in_listen ipptool -q -T 5 "ipp://$address:8000/ipp/system" \
        "$APP_TESTS/get-system-attributes.test" || fail "no answer on $address:8000: $(in_listen ss -ltn)"
done
echo "PASS: a server that names no address answers on 127.0.0.1 and [::1]"

# Waits until avahi-browse lists a service of TYPE named NAME (WANTED=yes)
# or no longer (no).
wait_for_service() {
    local type=$1 name=$2 wanted=$3 i listed
    for i in $(seq 1 60); do
        listed=no
        in_listen avahi-browse -t -p -k "$type" 2> /dev/null | cut -d';' -f4 | grep -q -x -F "$name" \
            && listed=yes
        [ "$listed" = "$wanted" ] && return 0
        sleep 0.5
    done
    return 1
}
# The server's own web site is announced once avahi-daemon runs and the
# server has registered with it: a printer added later is the server's
# business alone.
wait_for_service _http._tcp 'Tavel\032Printer\032Application' yes \
    || fail "the server is not on DNS-SD: $(in_listen avahi-browse -a -t -p)"
in_listen ipptool -t -d driver=tavel_tl4_203dpi -d device="file://$USER_DIR/every/out?ext=tspl" \
    -d name=announced "ipp://127.0.0.1:8000/ipp/system" "$APP_TESTS/create-printer.test" \
    > "$WORK/announced.log" 2>&1 || fail "cannot create printer announced: $(cat "$WORK/announced.log")"
wait_for_service _ipp._tcp announced yes || fail "printer announced is not on DNS-SD: $(in_listen avahi-browse -a -t -p)"
in_listen setpriv --reuid=nobody --regid=nogroup --clear-groups env TMPDIR="$USER_DIR/every" \
    "$APP" delete -u "ipp://127.0.0.1:8000/ipp/system" -d announced || fail "cannot delete printer announced"
wait_for_service _ipp._tcp announced no || fail "the deleted printer announced is still on DNS-SD"
echo "PASS: printers added and deleted while the server runs are announced and withdrawn"
