#!/bin/bash
# IPP/1.1 conformance of a printer of the application: ipptool's own
# ipp-1.1.test (cups-ipp-utils) against a TL-4 on a file:// device of a
# private instance on 127.0.0.1, printing a label PNG where the test prints.
#
#   app_ipp11_test.sh        (tools named in the environment, see app_lib.sh)
source "$(dirname "$0")/../e2e/e2e_lib.sh"
source "$(dirname "$0")/app_lib.sh"

suite=/usr/share/cups/ipptool/ipp-1.1.test
[ -f "$suite" ] || fail "$suite is missing; run scripts/install-deps.sh (cups-ipp-utils)"

e2e_setup
app_start
app_add_printer tl4 tavel_tl4_203dpi
"$APP_PAGES" --test-page 812 1218 "$WORK/label.pgm"
"$APP_PAGES" "$WORK/label.pgm" 203 "$WORK/label.pwg" "$WORK/label.png"
# The suite checks printer-up-time against the time of day: give the
# printer a second of uptime.
sleep 1
ipptool -t -f "$WORK/label.png" "ipp://127.0.0.1:$APP_PORT/ipp/print/tl4" "$suite" \
    > "$WORK/ipp-1.1.log" 2>&1 || { cat "$WORK/ipp-1.1.log" >&2; fail "ipp-1.1.test failed"; }
summary=$(grep -a '^Summary:' "$WORK/ipp-1.1.log")
grep -q ' 0 failed' <<< "$summary" || fail "ipp-1.1.test: $summary"
echo "PASS: ipp-1.1.test: $summary"
