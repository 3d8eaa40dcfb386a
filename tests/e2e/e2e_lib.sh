# Shared helpers of the end-to-end scripts, sourced by each of them.
#
# The scripts get their tools and folders from the environment that ctest
# sets: E2E_BUILD_DIR, E2E_PPD_DIR, E2E_DATA_DIR, E2E_TSPL2PNG,
# E2E_PBM_PROBE and E2E_PRINT_DOCUMENT.
set -euo pipefail
export LC_ALL=C

# ctest reports a test that exits with this status as skipped.
readonly E2E_SKIP=77

# The filter writes its page dumps here whenever the folder exists; a
# recording file goes here too (the PPD's recording prefix points into it).
readonly SPOOL_TMP=/var/spool/cups/tmp

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

skip() {
    echo "SKIP: $*" >&2
    exit "$E2E_SKIP"
}

# Lists the files this test may leave in the spool folder: page dumps and
# command recordings.
list_spool_leftovers() {
    if [ -d "$SPOOL_TMP" ]; then
        find "$SPOOL_TMP" -maxdepth 1 -type f \
            \( -name 'origin_*.bmp' -o -name 'dithered_*.bmp' -o -name 'tavel-commands-*.bin' \) \
            2>/dev/null | sort
    fi
}

# Extra clean-up steps of a script, run before the shared ones; they find the
# script's exit status in E2E_STATUS.
E2E_CLEANUP_HOOKS=()
E2E_STATUS=0

e2e_cleanup() {
    E2E_STATUS=$?
    local hook
    for hook in ${E2E_CLEANUP_HOOKS[@]+"${E2E_CLEANUP_HOOKS[@]}"}; do
        "$hook" || true
    done
    list_spool_leftovers > "$WORK/spool-after"
    comm -13 "$WORK/spool-before" "$WORK/spool-after" | while read -r leftover; do
        rm -f -- "$leftover"
    done
    rm -rf -- "$WORK"
}

# Creates the private work folder $WORK, notes the spool folder's content and
# arranges that everything the test made is removed when the script exits.
e2e_setup() {
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/tavel-e2e.XXXXXX")
    chmod 0755 "$WORK"
    list_spool_leftovers > "$WORK/spool-before"
    trap e2e_cleanup EXIT
}

# Prints DOC on the PPD through cupsfilter into OUT; further arguments are job
# options. The chain's log goes to OUT.log.
print_document() {
    local ppd=$1 doc=$2 out=$3
    shift 3
    LOG="$out.log" bash "$E2E_PRINT_DOCUMENT" "$E2E_BUILD_DIR" "$ppd" "$doc" "$out" "$@" \
        || fail "printing $(basename "$doc") with options '$*' failed"
}

# Turns the hand-written PostScript NAME.ps of the data folder into a PDF.
make_pdf() {
    local name=$1
    ps2pdf "$E2E_DATA_DIR/$name.ps" "$WORK/$name.pdf" || fail "ps2pdf $name.ps failed"
    echo "$WORK/$name.pdf"
}

# Decodes a TSPL stream into one PBM per PRINT command, PREFIX-1.pbm, ...
# and prints the number of images.
decode_labels() {
    local tspl=$1 prefix=$2 dpi=$3
    "$E2E_TSPL2PNG" --pbm --dpi "$dpi" -o "$prefix" "$tspl" > /dev/null \
        || fail "tspl2png could not decode $tspl"
    local count=0
    while [ -f "$prefix-$((count + 1)).pbm" ]; do
        count=$((count + 1))
    done
    echo "$count"
}

# The text commands before the first bitmap, one per line, without the
# carriage returns and without the blank preamble lines.
setup_block() {
    sed -n '/^BITMAP/q;p' "$1" | tr -d '\r' | sed '/^$/d'
}

# Checks that the set-up block of TSPL is EXPECTED. WHAT names the job in the
# message; with SKIP_SIZE=1 the leading SIZE line is left out of the
# comparison (it follows the raster size, not the option under test).
check_setup_block() {
    local tspl=$1 expected=$2 what=$3 skip_size=${4:-0}
    local actual
    actual=$(setup_block "$tspl")
    if [ "$skip_size" = 1 ]; then
        actual=$(sed '1{/^SIZE /d}' <<< "$actual")
    fi
    [ "$actual" = "$expected" ] || fail "$what: set-up block differs:
--- expected
$expected
--- actual
$actual"
}

# The PRINT lines of a stream, without carriage returns.
print_lines() {
    tr -d '\r' < "$1" | grep -a '^PRINT ' || true
}

# Checks that ACTUAL lies within TOLERANCE of EXPECTED.
check_near() {
    local what=$1 actual=$2 expected=$3 tolerance=$4
    local diff=$((actual - expected))
    [ "${diff#-}" -le "$tolerance" ] \
        || fail "$what is $actual, expected $expected (+-$tolerance)"
}

# Checks the size of a label image and that its black dots form exactly the
# box with the inclusive corners X0,Y0 and X1,Y1, within TOLERANCE dots at
# each edge, filled solidly inside.
check_box_label() {
    local pbm=$1 width=$2 height=$3 x0=$4 y0=$5 x1=$6 y1=$7 tolerance=$8
    local w h count minx miny maxx maxy
    read -r w h count minx miny maxx maxy < <("$E2E_PBM_PROBE" "$pbm") \
        || fail "cannot read $pbm"
    [ "$w" -eq "$width" ] && [ "$h" -eq "$height" ] \
        || fail "$(basename "$pbm") is ${w}x$h dots, expected ${width}x$height"
    [ "$count" -gt 0 ] || fail "$(basename "$pbm") is blank"
    check_near "left edge of the box" "$minx" "$x0" "$tolerance"
    check_near "top edge of the box" "$miny" "$y0" "$tolerance"
    check_near "right edge of the box" "$maxx" "$x1" "$tolerance"
    check_near "bottom edge of the box" "$maxy" "$y1" "$tolerance"
    local inner area
    read -r inner area < <("$E2E_PBM_PROBE" "$pbm" $((x0 + tolerance + 1)) $((y0 + tolerance + 1)) \
        $((x1 - tolerance)) $((y1 - tolerance)))
    [ "$inner" -eq "$area" ] \
        || fail "$(basename "$pbm"): only $inner of $area dots inside the box are black"
}

# Prints the number of black dots of PBM inside [X0, X1) x [Y0, Y1) and the
# number of dots of that area.
count_dots() {
    "$E2E_PBM_PROBE" "$@" || fail "cannot read $1"
}

# Starts the simulated printer SIM (tspl-sim) on a free port of 127.0.0.1
# with the further ARGS, operated through a FIFO on its standard input:
# sets SIM_PID and SIM_PORT, its log is $WORK/sim.log; operate CMD types a
# command, printed counts the labels it printed. Ended at clean-up.
SIM_PID=
stop_sim() {
    [ -n "$SIM_PID" ] || return 0
    kill "$SIM_PID" 2> /dev/null || true
    wait "$SIM_PID" 2> /dev/null || true
    SIM_PID=
}
start_sim() {
    local sim=$1 i
    shift
    [ -x "$sim" ] || fail "tspl-sim is not built: $sim"
    E2E_CLEANUP_HOOKS+=(stop_sim)
    mkfifo "$WORK/control"
    "$sim" --port 0 "$@" < "$WORK/control" > "$WORK/sim.log" 2>&1 &
    SIM_PID=$!
    exec 7> "$WORK/control"
    for i in $(seq 1 50); do
        grep -q '^listening ' "$WORK/sim.log" && break
        sleep 0.1
    done
    SIM_PORT=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$WORK/sim.log")
    [ -n "$SIM_PORT" ] || fail "tspl-sim did not start: $(cat "$WORK/sim.log")"
}
operate() { echo "$*" >&7; }
printed() { grep -c '^printed ' "$WORK/sim.log" || true; }
