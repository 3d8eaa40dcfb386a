#!/bin/bash
# Prints a document (PDF, PostScript, PNG, JPEG...) through the real CUPS
# filter chain into the rastertotavel filter of a build folder, without a
# scheduler, and writes the TSPL the printer would receive into a file.
#
#   scripts/print-document.sh BUILD_DIR PPD DOC OUT.tspl [NAME=VALUE ...]
#
# Every NAME=VALUE argument is a job option, as with lp -o (for example
# MirrorImage=True, PageSize=w162h90 or PageOffsetX=Custom.1.5).
#
# cupsfilter only runs filters that belong to root (or to the user who runs
# it) and are not writable by group or others, so the filter is copied into a
# private ServerBin next to links to the system's own filters.
#
# Environment:
#   LOG=FILE       keep the log of the whole chain (filter messages) in FILE;
#                  without it the log is shown only when the chain fails.
#   KEEP_DUMPS=1   keep the page dumps (origin_*.bmp, dithered_*.bmp) that
#                  the filter writes into /var/spool/cups/tmp; by default
#                  the dumps of this run are removed.
set -euo pipefail

usage() {
    echo "Usage: $0 BUILD_DIR PPD DOC OUT.tspl [NAME=VALUE ...]" >&2
    exit 2
}

[ $# -ge 4 ] || usage
build_dir=$1
ppd=$2
doc=$3
out=$4
shift 4

filter="$build_dir/filter/rastertotavel"
dump_dir=/var/spool/cups/tmp

for f in "$filter" "$ppd" "$doc"; do
    if [ ! -f "$f" ]; then
        echo "$0: no such file: $f" >&2
        exit 2
    fi
done
for tool in cupsfilter cups-config; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "$0: $tool is missing (Debian packages cups, libcups2-dev)" >&2
        exit 2
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tavel-print.XXXXXX")
chmod 0755 "$work"

# Lists the page dumps currently in the dump folder, one per line.
list_dumps() {
    if [ -d "$dump_dir" ]; then
        find "$dump_dir" -maxdepth 1 -type f \( -name 'origin_*.bmp' -o -name 'dithered_*.bmp' \) \
            2>/dev/null | sort
    fi
}

list_dumps > "$work/dumps-before"

cleanup() {
    list_dumps > "$work/dumps-after"
    if [ "${KEEP_DUMPS:-0}" = 1 ]; then
        comm -13 "$work/dumps-before" "$work/dumps-after" | sed 's/^/page dump: /' >&2
    else
        comm -13 "$work/dumps-before" "$work/dumps-after" | while read -r dump; do
            rm -f -- "$dump"
        done
    fi
    rm -rf -- "$work"
}
trap cleanup EXIT

# Private ServerBin: the system's filters as links, ours as a root-owned copy.
serverbin="$work/serverbin"
mkdir -p "$serverbin/filter"
for f in "$(cups-config --serverbin)"/filter/*; do
    ln -s "$f" "$serverbin/filter/"
done
rm -f "$serverbin/filter/rastertotavel"
install -m 0755 "$filter" "$serverbin/filter/rastertotavel"

printf 'ServerBin %s\nDataDir %s\n' "$serverbin" "$(cups-config --datadir)" > "$work/cupsfilter.conf"

options=()
for opt in "$@"; do
    options+=(-o "$opt")
done

# -e takes the filters of the PPD (our filter after the RIP); -m names the
# printer's own type so that the chain ends in our filter.
status=0
cupsfilter -c "$work/cupsfilter.conf" -p "$ppd" -e -m printer/tavel \
    ${options[@]+"${options[@]}"} "$doc" > "$out" 2> "$work/chain.log" || status=$?

if [ -n "${LOG:-}" ]; then
    cp "$work/chain.log" "$LOG"
fi
if [ "$status" -ne 0 ]; then
    echo "$0: the filter chain failed (status $status); its log:" >&2
    cat "$work/chain.log" >&2
    exit 1
fi
