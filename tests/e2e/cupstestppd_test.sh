#!/bin/bash
# Checks every generated PPD with cupstestppd: no failure, and no warning
# besides the page-size names we keep on purpose (the README says why).
#
#   cupstestppd_test.sh FILTER PPD...
#
# The PPDs name our filter in *cupsFilter2; cupstestppd looks for it below a
# private root that holds the built filter where CUPS keeps its filters.
source "$(dirname "$0")/e2e_lib.sh"

filter=$1
shift
[ -x "$filter" ] || fail "no built filter at $filter"
command -v cupstestppd > /dev/null || fail "cupstestppd is missing; run scripts/install-deps.sh"

e2e_setup
filter_dir="$WORK/root$(cups-config --serverbin)/filter"
mkdir -p "$filter_dir"
ln -s "$filter" "$filter_dir/rastertotavel"

# Warnings that stay: the filter's stencil frame selects its canvas by the
# names "Tattoo_A5" and "Tattoo_A6", and cupstestppd would rename the 2.25 x
# 1.25 in label to a name cut off at 24 characters.
allowed_warnings='Size "w162h90" should be the Adobe standard name "1.25x2.25Rotated.Fullble".
Size "Tattoo_A5" should be the Adobe standard name "A5Rotated".
Size "Tattoo_A6" should be the Adobe standard name "A6".'

[ $# -gt 0 ] || fail "no PPD given"
for ppd in "$@"; do
    status=0
    report=$(cupstestppd -W all -R "$WORK/root" "$ppd" 2>&1) || status=$?
    echo "$report"
    [ "$status" -eq 0 ] || fail "cupstestppd failed on $(basename "$ppd") (status $status)"
    unexpected=$(echo "$report" | sed -n 's/^[[:space:]]*WARN[[:space:]]*//p' \
        | grep -v -x -F "$allowed_warnings" || true)
    [ -z "$unexpected" ] || fail "unexpected warnings for $(basename "$ppd"):
$unexpected"
done
echo "PASS: $# PPD files"
