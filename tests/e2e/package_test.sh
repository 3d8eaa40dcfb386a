#!/bin/bash
# Proves the printer-driver-tavel package by printing from what it holds,
# through a private CUPS scheduler on 127.0.0.1: the scheduler's filter and
# model folders are the package's, the queue is added with the model name that
# lpinfo -m lists, a PDF goes through the whole chain (pdftopdf, gstoraster,
# the packaged filter) and the packaged tspl2png decodes what the queue wrote.
#
#   package_test.sh DEB     unpacks the package file and prints from it
#   package_test.sh /       the installed package (the autopkgtest)
#
# E2E_PBM_PROBE names the test helper pbm_probe. Needs root (the scheduler
# runs its jobs as lp); skipped otherwise, except under CI.
source "$(dirname "$0")/e2e_lib.sh"

target=$1
export E2E_DATA_DIR=${E2E_DATA_DIR:-$(cd "$(dirname "$0")" && pwd)/data}

# The label of cupsd_test.sh: 812 x 1218 dots at 203 dpi, the box at
# (101, 203)..(304, 304).
readonly LABEL_W=812 LABEL_H=1218
readonly BOX_X0=101 BOX_Y0=203 BOX_X1=304 BOX_Y1=304
readonly TOL=2
readonly START_SECONDS=30 JOB_SECONDS=60
readonly QUEUE=packaged

if [ "$(id -u)" -ne 0 ]; then
    [ "${CI:-}" = true ] && fail "the package test must run as root in CI"
    echo "SKIP: the package test starts cupsd, which must run as root" >&2
    exit 0
fi
[ -x "${E2E_PBM_PROBE:-}" ] || fail "E2E_PBM_PROBE names no pbm_probe program"

e2e_setup
source "$(dirname "$0")/cupsd_lib.sh"

if [ -d "$target" ]; then
    pkg=$target
else
    [ -f "$target" ] || fail "no package $target"
    pkg="$WORK/pkg"
    dpkg-deb -x "$target" "$pkg"
fi
what=$(basename "$target")
[ "$pkg" = / ] && what="the installed package"

# CUPS runs only a filter that is owned by root and not writable by others.
filter="$pkg/usr/lib/cups/filter/rastertotavel"
[ -f "$filter" ] || fail "the package holds no /usr/lib/cups/filter/rastertotavel"
[ "$(stat -c '%a %U:%G' "$filter")" = "755 root:root" ] \
    || fail "the packaged filter is $(stat -c '%a %U:%G' "$filter"), not 755 root:root"

make_serverbin "$filter"
make_datadir
# cups-driverd lists the PPDs below its data folder's model/ and below
# /usr/share/ppd; the entries of both of the package's folders go into the
# private model/ (an installed package's /usr/share/ppd is listed anyway).
roots=usr/share/cups/model
[ "$pkg" = / ] || roots="$roots usr/share/ppd"
for root in $roots; do
    [ -d "$pkg/$root" ] || continue
    for entry in "$pkg/$root"/*; do
        ln -s "$entry" "$WORK/data/model/"
    done
done
start_cupsd

models=$(list_models)
model=$(grep ' Tavel TL-4 Label Printer, ' <<< "$models" | cut -d ' ' -f 1) \
    || fail "the scheduler lists no TL-4 model from the package"
[ "$model" = tavel/tavtl4.ppd ] \
    || fail "the TL-4 model is listed as '$model', not as tavel/tavtl4.ppd (the README's name)"
grep -q '^tavel/tavts8.ppd Tavel TS-8 Stencil Printer, ' <<< "$models" \
    || fail "the scheduler lists no TS-8 model from the package"

# The cups package's upgrade hook reads the updater: its driver expression
# must pick exactly our two models, and its nickname expression must map an
# older PPD's nickname onto the listed one.
updater="$pkg/usr/share/cups/ppd-updaters/printer-driver-tavel.ppd-updater"
[ -f "$updater" ] || fail "the package holds no PPD updater"
DRIVER_REGEXP= GENNICKNAME_REGEXP=
# shellcheck source=/dev/null
source "$updater"
[ "$(grep -E "$DRIVER_REGEXP" <<< "$models" | wc -l)" -eq 2 ] \
    || fail "the updater's DRIVER_REGEXP does not select exactly the two Tavel models"
generic=$(echo "Tavel TL-4 Label Printer, 3.13.1" | perl -pe "$GENNICKNAME_REGEXP")
[ "$generic" = "Tavel TL-4 Label Printer" ] \
    || fail "the updater's GENNICKNAME_REGEXP turns an older nickname into '$generic'"

lpadmin -h "127.0.0.1:$PORT" -p "$QUEUE" -E -v "file://$WORK/out/label.tspl" -m "$model" \
    2> "$WORK/lpadmin.err" || { cat "$WORK/lpadmin.err" >&2; fail "lpadmin -m $model failed"; }

job=$(submit "$(make_pdf label_box)")
wait_for_job "$job"
grep -a -q "\[Job $job\] Started filter $WORK/serverbin/filter/rastertotavel" "$WORK/log/error_log" \
    || fail "job $job did not run the packaged filter"

tspl="$WORK/out/label.tspl"
[ "$(tr -d '\r' < "$tspl" | grep -a -c '^BITMAP ')" -eq 1 ] || fail "expected one BITMAP"
[ "$(print_lines "$tspl")" = "PRINT 1,1" ] || fail "expected one PRINT 1,1"
E2E_TSPL2PNG="$pkg/usr/bin/tspl2png"
[ "$(decode_labels "$tspl" "$WORK/label" 203)" -eq 1 ] || fail "expected one label"
check_box_label "$WORK/label-1.pbm" $LABEL_W $LABEL_H $BOX_X0 $BOX_Y0 $BOX_X1 $BOX_Y1 $TOL

echo "PASS: $what prints a PDF through a private scheduler with model $model"
