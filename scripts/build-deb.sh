#!/bin/bash
# Builds the Debian package printer-driver-tavel for this machine or, with
# an architecture argument (arm64, armhf), cross-builds it, then checks it.
#
#   build-deb.sh [ARCH]
#
# dpkg-buildpackage writes its results next to the source folder, so the
# package is built from a copy of the working tree's files in
# build-deb/ARCH/src; the .deb, .buildinfo, .changes and the build log
# (build.log) land in build-deb/ARCH/. The source tree keeps no build
# folder or CMake cache.
#
# A cross build runs without its tests unless DEB_BUILD_OPTIONS is set by
# the caller (the ARM stage of make test runs them under qemu). Checks: lintian
# reports no error and no warning, the filter links libcups dynamically and
# was compiled with -ffp-contract=off.
set -euo pipefail
cd "$(dirname "$0")/.."

host_arch=$(dpkg --print-architecture)
arch=${1:-$host_arch}
out="build-deb/$arch"
src="$out/src"

rm -rf "$out"
mkdir -p "$src"
# The files of the working tree that git knows or would add, as they are now.
git ls-files -z --cached --others --exclude-standard \
    | while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done \
    | tar --null -T - -cf - | tar -xf - -C "$src"

options=(-b -us -uc)
if [ "$arch" != "$host_arch" ]; then
    options+=(-a "$arch")
    if [ -z "${DEB_BUILD_OPTIONS+set}" ]; then
        export DEB_BUILD_OPTIONS=nocheck
    fi
fi
case " ${DEB_BUILD_OPTIONS:-} " in
    *" nocheck "*) options+=(-Pnocheck) ;;
esac

echo "Building printer-driver-tavel for $arch in $out (log: $out/build.log)"
if ! (cd "$src" && dpkg-buildpackage "${options[@]}") > "$out/build.log" 2>&1; then
    tail -n 60 "$out/build.log" >&2
    echo "dpkg-buildpackage failed; the whole log is $out/build.log" >&2
    exit 1
fi

deb=$(ls "$out"/printer-driver-tavel_*_"$arch".deb)
echo "Built $deb"

# Every compile line carries the flag that keeps the arithmetic exact.
compiles=$(grep -c -E ' -c [^ ]+\.(c|cc|cpp)$' "$out/build.log" || true)
exact=$(grep -E ' -c [^ ]+\.(c|cc|cpp)$' "$out/build.log" | grep -c -- '-ffp-contract=off' || true)
if [ "$compiles" -eq 0 ] || [ "$compiles" -ne "$exact" ]; then
    echo "FAIL: $exact of $compiles compile commands carry -ffp-contract=off" >&2
    exit 1
fi

unpacked="$out/unpacked"
dpkg-deb -x "$deb" "$unpacked"
filter="$unpacked/usr/lib/cups/filter/rastertotavel"
if ! readelf -d "$filter" | grep -q 'NEEDED.*\[libcups\.so\.2\]'; then
    echo "FAIL: the packaged filter does not link libcups.so.2 dynamically" >&2
    readelf -d "$filter" >&2
    exit 1
fi

lintian --fail-on error,warning "$out"/*.deb \
    || { echo "FAIL: lintian reports errors or warnings for the packages in $out" >&2; exit 1; }
echo "PASS: $deb is lintian-clean, its filter links libcups.so.2 and was built with -ffp-contract=off"
