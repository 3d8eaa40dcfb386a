#!/bin/bash
# A busy print server: a private CUPS scheduler on 127.0.0.1 with four label
# queues and one whose page dumps are switched off (SavePageImages=False),
# each printing to a backend of this test that keeps every job's output
# apart. Over a hundred jobs are submitted at once with random halftone,
# ZIP, copies and darkness (a fixed seed, so every run is the same). Every
# job must complete with one label of the right set-up and bitmap mode, the
# box where the document put it, and -- unless dumps are off -- its two page
# dumps, each equal to the dump of the same page printed alone. Prints jobs
# per second and the slowest job (for information only).
#
#   soak_test.sh BACKEND
#
# The documents are CUPS raster made by rasterwrite, so that the filter is
# what is soaked, not the RIP: a 2 x 1 in label at 203 dpi (406 x 203 dots)
# with a full-ink box at (40, 50), 100 x 60 dots, so its inclusive corners
# are (40, 50) and (139, 109); one raster per copy count.
#
# The page dumps go to /var/spool/cups/tmp. Where the test may make a mount
# namespace of its own, that folder is replaced there by a private one, so
# that other programs' dumps neither disturb nor are disturbed by the test.
source "$(dirname "$0")/e2e_lib.sh"

readonly BACKEND_SCRIPT=${1:?usage: soak_test.sh BACKEND}
readonly SEED=14 DUMPING_JOBS=100 OFF_QUEUE_JOBS=8 OFF_OPTION_JOBS=4
readonly LABEL_W=406 LABEL_H=203 BOX_X0=40 BOX_Y0=50 BOX_X1=139 BOX_Y1=109 TOL=2
readonly DUMP_BYTES=$((1078 + 408 * LABEL_H))
readonly HALFTONES=(None FloydSteinberg Ordered Burkes Stucki JarvisJudiceNinke Sierra
                    StevensonArce Tattoo Tattoo_X8)
# Bounds of the waits, far above what the jobs take.
readonly START_SECONDS=30 SOAK_SECONDS=400
QUEUE=soak1

command -v cupsd > /dev/null || skip "cupsd is not installed (Debian package cups)"
[ "$(id -u)" -eq 0 ] || skip "cupsd must start as root to run its jobs as user lp"
for tool in lp lpadmin lpstat; do
    command -v "$tool" > /dev/null || fail "$tool is missing; run scripts/install-deps.sh"
done

# Again in a mount namespace of its own, where that is allowed.
if [ -z "${SOAK_IN_NAMESPACE:-}" ] && unshare -m true 2> /dev/null; then
    exec env SOAK_IN_NAMESPACE=1 unshare -m --propagation private bash "$0" "$@"
fi

source "$(dirname "$0")/cupsd_lib.sh"
e2e_setup

# The dump folder as a CUPS installation makes it: lp's jobs write there.
PRIVATE_DUMPS=0
if [ -n "${SOAK_IN_NAMESPACE:-}" ]; then
    mkdir -p "$SPOOL_TMP" "$WORK/dumps"
    chown root:lp "$WORK/dumps"
    chmod 1770 "$WORK/dumps"
    mount --bind "$WORK/dumps" "$SPOOL_TMP" || fail "cannot mount a private dump folder"
    PRIVATE_DUMPS=1
    list_spool_leftovers > "$WORK/spool-before"
elif ! runuser -u lp -- test -w "$SPOOL_TMP"; then
    [ -d "$SPOOL_TMP" ] || fail "$SPOOL_TMP is missing (it comes with the Debian package cups-daemon)"
    SPOOL_MODE=$(stat -c '%a %U:%G' "$SPOOL_TMP")
    restore_spool() { chmod "${SPOOL_MODE%% *}" "$SPOOL_TMP"; chown "${SPOOL_MODE#* }" "$SPOOL_TMP"; }
    E2E_CLEANUP_HOOKS+=(restore_spool)
    chown root:lp "$SPOOL_TMP"
    chmod 1770 "$SPOOL_TMP"
fi

# The labels, and each halftone's processed page printed alone: every
# job's dumps must equal these.
for copies in 1 2 3 4; do
    "$E2E_BUILD_DIR/tools/rasterwrite" -o "$WORK/label-$copies.ras" --copies "$copies" \
        "rect:${LABEL_W}x$LABEL_H:$BOX_X0,$BOX_Y0,$((BOX_X1 - BOX_X0 + 1)),$((BOX_Y1 - BOX_Y0 + 1)):255" \
        || fail "rasterwrite failed"
done
mkdir -p "$WORK/ref"
for halftone in "${HALFTONES[@]}"; do
    PPD="$E2E_PPD_DIR/tavtl4.ppd" "$E2E_BUILD_DIR/filter/rastertotavel" 1 soak alone 1 \
        "HalftoneType=$halftone" "$WORK/label-1.ras" > "$WORK/ref/$halftone.tspl" 2> "$WORK/ref/$halftone.log" \
        || fail "the filter alone failed on $halftone"
    for kind in origin dithered; do
        dump=$(sed -n "s|^DEBUG:saveImage: page dump \\($SPOOL_TMP/${kind}_.*\\)|\\1|p" "$WORK/ref/$halftone.log")
        [ -f "$dump" ] || fail "the filter alone left no $kind dump for $halftone"
        mv "$dump" "$WORK/ref/$kind-$halftone.bmp"
    done
done

make_serverbin "$E2E_BUILD_DIR/filter/rastertotavel"
rm -f "$WORK/serverbin/backend"
mkdir -p "$WORK/serverbin/backend"
install -m 0755 "$BACKEND_SCRIPT" "$WORK/serverbin/backend/tavelsoak"
make_datadir
mkdir -p "$WORK/data/model/tavel"
install -m 0644 "$E2E_PPD_DIR"/*.ppd "$WORK/data/model/tavel/"
start_cupsd

# A scheduler just started may drop lpadmin's first connections while its
# driver helper lists the models: that list first, then a few tries.
list_models > /dev/null
add_queue() {
    local name=$1 attempt
    shift
    for attempt in 1 2 3 4 5 6 7 8 9 10; do
        lpadmin -h "127.0.0.1:$PORT" -p "$name" -E -v "tavelsoak:$WORK/out" -m tavel/tavtl4.ppd "$@" \
            2> "$WORK/lpadmin.err" && return 0
        sleep 1
    done
    cat "$WORK/lpadmin.err" >&2
    fail "lpadmin could not add $name"
}
for q in 1 2 3 4; do
    add_queue "soak$q"
done
add_queue soakoff -o SavePageImages=False

# The jobs, drawn with a fixed seed: queue, halftone, ZIP, copies, darkness
# and whether the job leaves dumps.
RANDOM=$SEED
mkdir -p "$WORK/jobs"
total=$((DUMPING_JOBS + OFF_QUEUE_JOBS + OFF_OPTION_JOBS))
for i in $(seq 1 $total); do
    halftone=${HALFTONES[RANDOM % 10]}
    zip=$([ $((RANDOM % 2)) -eq 0 ] && echo True || echo False)
    copies=$((RANDOM % 4 + 1))
    darkness=$((RANDOM % 16))
    queue=soak$((i % 4 + 1)) dumps=1 extra=
    if [ "$i" -gt "$DUMPING_JOBS" ]; then
        dumps=0
        if [ "$i" -le $((DUMPING_JOBS + OFF_QUEUE_JOBS)) ]; then
            queue=soakoff
        else
            extra="-o SavePageImages=False"
        fi
    fi
    echo "$queue $halftone $zip $copies $darkness $dumps $extra" > "$WORK/jobs/$i.job"
done

# Submits job I and notes its number and when it was submitted.
submit_job() {
    local i=$1 queue halftone zip copies darkness dumps extra reply id
    read -r queue halftone zip copies darkness dumps extra < "$WORK/jobs/$i.job"
    date +%s.%N > "$WORK/jobs/$i.submitted"
    # shellcheck disable=SC2086
    reply=$(lp -h "127.0.0.1:$PORT" -d "$queue" -o document-format=application/vnd.cups-raster \
        -o "HalftoneType=$halftone" -o "ZIP=$zip" -o "Darkness=$darkness" $extra \
        "$WORK/label-$copies.ras" 2>&1) || { echo "lp failed for job $i: $reply" > "$WORK/jobs/$i.error"; return; }
    id=${reply#*"request id is $queue-"}
    id=${id%% *}
    echo "$id" > "$WORK/jobs/$i.id"
}

# Sixteen submissions at a time; the scheduler is a child of this shell
# too, so each batch waits for its own submitters only.
start=$(date +%s.%N)
submitters=()
for i in $(seq 1 $total); do
    submit_job "$i" &
    submitters+=($!)
    if [ ${#submitters[@]} -eq 16 ] || [ "$i" -eq "$total" ]; then
        wait "${submitters[@]}"
        submitters=()
    fi
done
for i in $(seq 1 $total); do
    [ ! -f "$WORK/jobs/$i.error" ] || fail "$(cat "$WORK/jobs/$i.error")"
    [[ "$(cat "$WORK/jobs/$i.id")" =~ ^[0-9]+$ ]] || fail "no job number for job $i"
done

# Waits until no job is left, failing at once on a failed filter.
for step in $(seq 1 $((SOAK_SECONDS * 2))); do
    if grep -a -q -E '\[Job [0-9]+\] .*(stopped with status|crashed on signal)' "$WORK/log/error_log"; then
        fail "a filter failed: $(grep -a -E 'stopped with status|crashed on signal' "$WORK/log/error_log" | head -n 5)"
    fi
    [ -n "$(lpstat -h "127.0.0.1:$PORT" -W not-completed -o)" ] || break
    [ "$step" -lt $((SOAK_SECONDS * 2)) ] || fail "jobs still unfinished after ${SOAK_SECONDS}s"
    sleep 0.5
done

# One job's output, log and dumps.
check_job() {
    local i=$1 queue halftone zip copies darkness dumps extra id tspl info mode
    read -r queue halftone zip copies darkness dumps extra < "$WORK/jobs/$i.job"
    id=$(cat "$WORK/jobs/$i.id")
    local what="job $id ($queue $halftone ZIP=$zip copies $copies Darkness=$darkness)"
    grep -a -q "\[Job $id\] Job completed\." "$WORK/log/error_log" || fail "$what did not complete"
    tspl="$WORK/out/job-$id.tspl"
    [ -f "$tspl" ] || fail "$what: the backend got no output"

    info=$("$E2E_TSPL2PNG" --info "$tspl") || fail "$what: the output does not parse"
    [ "$(grep -c '^BITMAP ' <<< "$info")" -eq 1 ] || fail "$what: expected one BITMAP"
    mode=$([ "$zip" = True ] && echo 6 || echo 0)
    grep -q "^BITMAP .* mode=$mode " <<< "$info" || fail "$what: the BITMAP is not in mode $mode"
    [ "$(print_lines "$tspl")" = "PRINT 1,$copies" ] || fail "$what: expected one PRINT 1,$copies"
    setup_block "$tspl" | grep -qx "DENSITY $darkness" || fail "$what: no DENSITY $darkness"
    [ "$(decode_labels "$tspl" "$WORK/out/job-$id" 203)" -eq 1 ] || fail "$what: expected one label"
    check_box_label "$WORK/out/job-$id-1.pbm" $LABEL_W $LABEL_H $BOX_X0 $BOX_Y0 $BOX_X1 $BOX_Y1 $TOL

    local named
    named=$(sed -n "s|^.*\\[Job $id\\] saveImage: page dump \\(.*\\)$|\\1|p" "$WORK/log/error_log")
    if [ "$dumps" -eq 0 ]; then
        [ -z "$named" ] || fail "$what: page dumps are off, yet it dumped $named"
        return 0
    fi
    [ "$(wc -l <<< "$named")" -eq 2 ] || fail "$what: expected two page dumps, got: $named"
    local kind dump
    for kind in origin dithered; do
        dump=$(grep "^$SPOOL_TMP/${kind}_" <<< "$named") || fail "$what: no $kind dump"
        [ -f "$dump" ] || fail "$what: its dump $dump is gone"
        [ "$(stat -c %s "$dump")" -eq "$DUMP_BYTES" ] || fail "$what: $dump is not $DUMP_BYTES bytes"
        cmp -s "$dump" "$WORK/ref/$kind-$halftone.bmp" \
            || fail "$what: $dump differs from the page's dump printed alone"
        echo "$dump" >> "$WORK/dumps-named"
    done
}

: > "$WORK/dumps-named"
for i in $(seq 1 $total); do
    check_job "$i"
done

# In the private folder every dump is one a job named: nothing else wrote
# there, so the queue without dumps left none behind.
if [ "$PRIVATE_DUMPS" -eq 1 ]; then
    diff <(sort "$WORK/dumps-named") <(find "$SPOOL_TMP" -maxdepth 1 -type f -name '*.bmp' | sort) \
        > "$WORK/dumps.diff" || fail "the dump folder holds other files than the jobs' dumps: $(cat "$WORK/dumps.diff")"
fi
[ "$(sort -u "$WORK/dumps-named" | wc -l)" -eq $((2 * DUMPING_JOBS)) ] || fail "two jobs named the same dump"

# Information only: how fast the server went, and the slowest job from its
# submission to its complete output.
awk -v start="$start" -v total="$total" -v folder="$WORK" '
    BEGIN {
        for (i = 1; i <= total; i++) {
            getline id < (folder "/jobs/" i ".id")
            getline submitted < (folder "/jobs/" i ".submitted")
            getline done < (folder "/out/job-" id ".done")
            if (done > last) last = done
            if (done - submitted > slowest) { slowest = done - submitted; slowestId = id }
        }
        printf "soak: %d jobs in %.1f s, %.2f jobs/s; slowest job %d took %.2f s\n",
               total, last - start, total / (last - start), slowestId, slowest
    }'
echo "PASS: $total jobs on five queues through a private scheduler on 127.0.0.1:$PORT"
