#!/bin/bash
# Installs the build into a staging folder (as make install does with
# DESTDIR) and checks that the filter lands in CUPS's filter folder with the
# mode CUPS demands, and the PPDs in a folder whose models CUPS lists.
#
#   install_test.sh BUILD_DIR PREFIX PPD...
source "$(dirname "$0")/e2e_lib.sh"

build_dir=$1
prefix=$2
shift 2

e2e_setup
stage="$WORK/stage"
DESTDIR="$stage" cmake --install "$build_dir" > "$WORK/install.log" 2>&1 \
    || { cat "$WORK/install.log" >&2; fail "cmake --install failed"; }

filter="$stage$(cups-config --serverbin)/filter/rastertotavel"
[ -f "$filter" ] || fail "the filter is not in $(cups-config --serverbin)/filter"
[ "$(stat -c %a "$filter")" = 755 ] || fail "the filter has mode $(stat -c %a "$filter"), not 755"

# cups-driverd lists the PPDs below its data folder's model/ and below
# /usr/share/ppd, /usr/local/share/ppd and /opt/share/ppd.
listed_roots="$(cups-config --datadir)/model /usr/share/ppd /usr/local/share/ppd /opt/share/ppd"
for ppd in "$@"; do
    name=$(basename "$ppd")
    installed=$(find "$stage" -name "$name" -type f)
    [ -n "$installed" ] || fail "$name was not installed"
    [ "$(echo "$installed" | wc -l)" -eq 1 ] || fail "$name was installed more than once"
    cmp -s "$installed" "$ppd" || fail "the installed $name differs from the built one"
    path=${installed#"$stage"}
    listed=0
    for root in $listed_roots; do
        case "$path" in "$root"/*) listed=1 ;; esac
    done
    # Below another prefix nothing is listed by CUPS, wherever the PPDs go.
    case "$prefix" in
        /usr | /usr/local | /opt)
            [ "$listed" -eq 1 ] || fail "$path lies where CUPS lists no models" ;;
        *)
            echo "note: prefix $prefix is not one CUPS looks into" ;;
    esac
    [ "$(stat -c %a "$installed")" = 644 ] || fail "$name has mode $(stat -c %a "$installed"), not 644"
done
echo "PASS: filter and $# PPD files installed"
