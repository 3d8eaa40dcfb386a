#!/bin/sh
# gen-lazy.sh - generate lazy-binding trampolines for the external references
# of a static archive (libcups.a) into "heavy" shared libraries.
#
# Every function symbol that the archive references and that is defined by one
# of the lazily bound libraries becomes a small assembly stub (see
# lazy_arch.S) jumping through a pointer slot.  The slot first points to a
# thunk that calls lazy_resolve(), which dlopen()s the library by soname and
# looks the symbol up with the symbol version found here at build time.
#
# Usage:
#   gen-lazy.sh -a ARCHIVE -n SHARED_OBJ -o OUTDIR [-k SONAME]... [-e SYM]...
#               [-d DATA_PROVIDER_DIR] [-L SONAME=PATH]...
#
#   -a  static archive whose undefined references are to be satisfied
#   -n  shared object whose DT_NEEDED list names the candidate libraries
#       (normally the shared build of the same library, libcups.so.2)
#   -k  soname linked normally instead of lazily (repeatable); the defaults
#       are the C runtime, libm and zlib
#   -e  extra symbol to stub although the archive does not reference it
#       (used by tests that call a trampoline directly)
#   -d  directory with hand-written providers for data symbols: NAME.c
#   -L  add an extra lazily bound library SONAME located at PATH (used by
#       tests; it is searched after the DT_NEEDED libraries)
#
# Outputs in OUTDIR:
#   lazy_stubs.S        stub/thunk list (includes lazy_arch.S)
#   lazy_table.c        soname, symbol name/version and data-check tables
#   lazy_data_srcs.txt  data provider sources to compile (may be empty)
#   lazy_eager_libs.txt sonames that must be linked normally (one per line)
#   lazy_report.txt     human-readable classification of every reference
#
# The script fails (exit 1) when a reference cannot be attributed to any
# library, so a new Debian release with new dependencies is noticed at build
# time instead of producing a binary that aborts later.
set -eu
export LC_ALL=C

archive= needed_from= outdir= datadir=
keep="libc.so.6 libm.so.6 libz.so.1 libpthread.so.0 libdl.so.2 librt.so.1"
extra=
extralibs=

while getopts a:n:o:k:e:d:L: opt; do
    case $opt in
    a) archive=$OPTARG ;;
    n) needed_from=$OPTARG ;;
    o) outdir=$OPTARG ;;
    k) keep="$keep $OPTARG" ;;
    e) extra="$extra $OPTARG" ;;
    d) datadir=$OPTARG ;;
    L) extralibs="$extralibs $OPTARG" ;;
    *) echo "usage: see header of $0" >&2; exit 2 ;;
    esac
done
[ -n "$archive" ] && [ -n "$needed_from" ] && [ -n "$outdir" ] || {
    echo "gen-lazy.sh: -a, -n and -o are required" >&2; exit 2; }
[ -r "$archive" ] || { echo "gen-lazy.sh: cannot read $archive" >&2; exit 1; }
[ -r "$needed_from" ] || { echo "gen-lazy.sh: cannot read $needed_from" >&2; exit 1; }

NM=${NM:-nm}
READELF=${READELF:-readelf}
mkdir -p "$outdir"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# 1. External references of the archive: undefined somewhere, defined nowhere
#    in the archive.  nm prints "archive[member]:" headers, skip them.
"$NM" "$archive" 2>/dev/null | awk 'NF==3 && $2!="U" && $2!="w" {print $3}' \
    | sort -u > "$tmp/defined"
"$NM" -u "$archive" 2>/dev/null | awk 'NF==2 && ($1=="U" || $1=="w") {print $2}' \
    | sort -u > "$tmp/undef"
comm -23 "$tmp/undef" "$tmp/defined" > "$tmp/ext"
for s in $extra; do echo "$s"; done >> "$tmp/ext"
sort -u -o "$tmp/ext" "$tmp/ext"

# 2. Candidate libraries in DT_NEEDED order, with their paths as the dynamic
#    linker resolves them on this machine.
"$READELF" -dW "$needed_from" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' > "$tmp/needed"
ldd "$needed_from" > "$tmp/ldd"
: > "$tmp/libs"          # soname path mode(lazy|keep)
while read -r so; do
    path=$(awk -v s="$so" '$1==s && $2=="=>" {print $3}' "$tmp/ldd")
    [ -n "$path" ] && [ -r "$path" ] || {
        echo "gen-lazy.sh: cannot locate $so (from ldd $needed_from)" >&2; exit 1; }
    mode=lazy
    for k in $keep; do [ "$k" = "$so" ] && mode=keep; done
    echo "$so $path $mode" >> "$tmp/libs"
done < "$tmp/needed"
for e in $extralibs; do
    echo "${e%%=*} ${e#*=} lazy" >> "$tmp/libs"
done

# 3. Attribute each external reference to the first library (in search
#    order) that defines it.  "nm -D --with-symbol-versions" prints
#    NAME@@VERSION for the default version, which is what a normal link
#    binds to; NAME@VERSION (non-default) entries are ignored.
: > "$tmp/attributed"    # sym soname mode kind version
while read -r so path mode; do
    "$NM" -D --defined-only --with-symbol-versions "$path" \
    | awk -v so="$so" -v mode="$mode" '
        NF >= 3 {
            t = $2; n = $3; v = "";
            if (index(n, "@@")) { v = substr(n, index(n, "@@") + 2); n = substr(n, 1, index(n, "@@") - 1) }
            else if (index(n, "@")) next;
            if (t ~ /^[TtWi]$/) k = "func";
            else if (t ~ /^[DdBbRrVvGgSsu]$/) k = "data";
            else next;
            if (v == "") v = "-";
            print n, so, mode, k, v
        }' | sort -u -k1,1 > "$tmp/syms.$so"
    join "$tmp/ext" "$tmp/syms.$so" >> "$tmp/attributed"
done < "$tmp/libs"

# first definition wins (search order == order of "libs")
awk '!seen[$1]++' "$tmp/attributed" > "$tmp/chosen"
awk '{print $1}' "$tmp/chosen" | sort -u > "$tmp/chosen_names"
comm -23 "$tmp/ext" "$tmp/chosen_names" > "$tmp/unresolved"
# symbols the static linker itself defines
grep -v -x -e _GLOBAL_OFFSET_TABLE_ -e __dso_handle -e _DYNAMIC \
    "$tmp/unresolved" > "$tmp/unresolved.real" || true
if [ -s "$tmp/unresolved.real" ]; then
    echo "gen-lazy.sh: references not defined by any candidate library:" >&2
    sed 's/^/    /' "$tmp/unresolved.real" >&2
    exit 1
fi
awk '{print $1}' "$tmp/attributed" | sort | uniq -d > "$tmp/dups"
if [ -s "$tmp/dups" ]; then
    echo "gen-lazy.sh: note: defined by several libraries, first one used:" \
         "$(tr '\n' ' ' < "$tmp/dups")" >&2
fi

# 4. Data symbols.  A stub cannot stand in for an object: the archive reads
#    its value directly.  Either a hand-written provider DATADIR/NAME.c
#    exists (it defines the object and a check against the real one), or the
#    owning library is linked normally.
: > "$tmp/eager"
: > "$outdir/lazy_data_srcs.txt"
awk '$3=="lazy" && $4=="data"' "$tmp/chosen" > "$tmp/data"
while read -r sym so mode kind ver; do
    if [ -n "$datadir" ] && [ -r "$datadir/$sym.c" ]; then
        echo "$datadir/$sym.c" >> "$outdir/lazy_data_srcs.txt"
    else
        echo "gen-lazy.sh: warning: data symbol $sym has no provider;" \
             "linking $so normally" >&2
        echo "$so" >> "$tmp/eager"
    fi
done < "$tmp/data"
sort -u -o "$tmp/eager" "$tmp/eager"
cp "$tmp/eager" "$outdir/lazy_eager_libs.txt"

# functions of lazy libraries that are not forced eager
awk 'FILENAME==ARGV[1] {eager[$1]=1; next} $3=="lazy" && $4=="func" && !($2 in eager)' \
    "$tmp/eager" "$tmp/chosen" > "$tmp/funcs"
awk 'FILENAME==ARGV[1] {eager[$1]=1; next} $3=="lazy" && $4=="data" && !($2 in eager)' \
    "$tmp/eager" "$tmp/chosen" > "$tmp/datalazy"
# library index table: only libraries that have at least one stub or data
awk '{print $2}' "$tmp/funcs" "$tmp/datalazy" | awk '!seen[$1]++' > "$tmp/lazylibs"

# 5. Emit lazy_stubs.S
{
    echo "/* generated by gen-lazy.sh from $archive - do not edit */"
    echo '#include "lazy_arch.S"'
    echo "LAZY_BEGIN $(wc -l < "$tmp/funcs" | tr -d ' ')"
    i=0
    while read -r sym so mode kind ver; do
        echo "LAZY_STUB $sym, $i"
        i=$((i + 1))
    done < "$tmp/funcs"
    echo "LAZY_END"
} > "$outdir/lazy_stubs.S"

# 6. Emit lazy_table.c
# table_entries FILE [check]: a table line per symbol of FILE with its name,
# version and library index, and with "check" its data check function too.
table_entries() {
    while read -r sym so mode kind ver; do
        li=$(awk -v s="$so" '$1==s {print NR-1}' "$tmp/lazylibs")
        if [ "$ver" = "-" ]; then v=0; else v="\"$ver\""; fi
        check=
        [ "${2:-}" = check ] && check=", lazy_check_$sym"
        echo "    { \"$sym\", $v, $li$check },"
    done < "$1"
}
{
    echo "/* generated by gen-lazy.sh from $archive - do not edit */"
    echo '#include "lazy_resolve.h"'
    echo
    echo "struct lazy_lib lazy_libs[] = {"
    while read -r so; do echo "    { \"$so\", 0 },"; done < "$tmp/lazylibs"
    echo "    { 0, 0 }"
    echo "};"
    echo
    echo "const struct lazy_sym lazy_syms[] = {"
    table_entries "$tmp/funcs"
    echo "    { 0, 0, 0 }"
    echo "};"
    echo "const unsigned lazy_nsyms = $(wc -l < "$tmp/funcs" | tr -d ' ');"
    echo
    while read -r sym so mode kind ver; do
        echo "int lazy_check_$sym(const void *real_object);"
    done < "$tmp/datalazy"
    echo "const struct lazy_data_check lazy_data_checks[] = {"
    table_entries "$tmp/datalazy" check
    echo "    { 0, 0, 0, 0 }"
    echo "};"
} > "$outdir/lazy_table.c"

# 7. Report
{
    echo "archive: $archive"
    echo "libraries (soname path mode):"
    sed 's/^/    /' "$tmp/libs"
    echo "eager because of unprovided data symbols: $(tr '\n' ' ' < "$tmp/eager")"
    echo "lazy function stubs: $(wc -l < "$tmp/funcs" | tr -d ' ')"
    echo "lazy data symbols with provider: $(wc -l < "$tmp/datalazy" | tr -d ' ')"
    echo "reference  library  mode  kind  version:"
    sed 's/^/    /' "$tmp/chosen"
} > "$outdir/lazy_report.txt"
echo "gen-lazy.sh: $(wc -l < "$tmp/funcs" | tr -d ' ') stubs," \
     "$(wc -l < "$tmp/datalazy" | tr -d ' ') provided data symbols," \
     "eager: $(tr '\n' ' ' < "$tmp/eager")" >&2
