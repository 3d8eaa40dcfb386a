#!/bin/bash
# The ARM stage of the suite. For arm64 and armhf: cross-builds the tree with
# Debian's cross compilers (build-arm64/, build-armhf/), runs the unit tests
# and the process-level filter tests under qemu-user through ctest, then
# requires the ARM filter to print byte for byte what the x86-64 filter
# prints on the label and A4 jobs of scripts/check-identical.sh, for every
# halftone type, raw and compressed. On armhf the filter runs twice there:
# on a processor with NEON (qemu's default), which takes the NEON build of
# the vector code, and on one without (a Cortex-R5F: ARMv7 with VFPv3-D16,
# like Debian's armhf baseline), which takes the baseline build.
#
# Usage: scripts/arm-test.sh [ARCH...]   (ARCH: arm64, armhf; default both)
# Skips, with a message, only on a machine that cannot run it (not x86-64,
# no cross compiler, qemu-user or ARM libraries); with CI=true it fails
# instead.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"

# The test folders whose tests run on ARM (ctest labels, one per folder).
# The end-to-end tests and the cross-checks need the native CUPS tools and
# Python's view of the native build; they stay with the native suite.
ARM_TEST_LABELS='^(workers|codec|image|enhance|printer|tspl|filter|tools|hardening)$'
# Left out under qemu for time alone: the fault injection reruns a whole A4
# job once per large allocation (about 1.5 minutes per architecture).
ARM_TEST_EXCLUDE='^Hardening/AllocationFailure\.'

ARCHES=("$@")
[ ${#ARCHES[@]} -gt 0 ] || ARCHES=(arm64 armhf)

cannot_run() {
    if [ "${CI:-}" = "true" ]; then
        echo "arm-test: FAILED: $* (CI=true: the ARM stage must run)" >&2
        exit 1
    fi
    echo "arm-test: SKIPPED: $*" >&2
    exit 0
}

# triplet_of ARCH, qemu_of ARCH: the GNU triplet and the qemu-user program.
triplet_of() {
    case $1 in
    arm64) echo aarch64-linux-gnu ;;
    armhf) echo arm-linux-gnueabihf ;;
    *) echo "arm-test: unknown architecture $1 (arm64 or armhf)" >&2; exit 2 ;;
    esac
}
qemu_of() {
    case $1 in
    arm64) echo qemu-aarch64 ;;
    armhf) echo qemu-arm ;;
    esac
}

# The comparison needs an x86-64 filter beside the ARM one; on an ARM
# machine the native suite already is the ARM suite.
host=$(uname -m)
[ "$host" = "x86_64" ] || cannot_run "this is a $host machine; the stage cross-builds from x86-64"

for arch in "${ARCHES[@]}"; do
    triplet=$(triplet_of "$arch")
    for tool in "$triplet-g++" "$(qemu_of "$arch")"; do
        command -v "$tool" >/dev/null ||
            cannot_run "$tool is not installed (scripts/install-deps.sh installs it)"
    done
    for lib in libcups.so libz.so libpng.so libgtest.a; do
        [ -e "/usr/lib/$triplet/$lib" ] ||
            cannot_run "/usr/lib/$triplet/$lib is missing (scripts/install-deps.sh installs it)"
    done
done

report=()
filters=()
for arch in "${ARCHES[@]}"; do
    dir=$ROOT/build-$arch
    qemu=$(qemu_of "$arch")
    echo "=== arm-test: $arch: building in $dir"
    start=$SECONDS
    mkdir -p "$dir"
    cmake -S "$ROOT" -B "$dir" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-$arch.cmake" >"$dir/configure.log" 2>&1 ||
        { cat "$dir/configure.log" >&2; echo "arm-test: configuring $arch failed" >&2; exit 1; }
    # The whole tree: every target must build with the project's warnings
    # as errors on this architecture too.
    cmake --build "$dir" -j2
    built=$SECONDS

    echo "=== arm-test: $arch: tests under $qemu"
    (cd "$dir" && ctest --output-on-failure --timeout 600 --no-tests=error \
        -L "$ARM_TEST_LABELS" -E "$ARM_TEST_EXCLUDE")
    report+=("$arch: build $((built - start)) s, tests $((SECONDS - built)) s")
    filters+=("$qemu -L / $dir/filter/rastertotavel")
    if [ "$arch" = armhf ]; then
        bash "$ROOT/scripts/extended-build-lends-nothing.sh" "$dir" armhf ||
            { echo "arm-test: FAILED: NEON code outside its build" >&2; exit 1; }
        filters+=("$qemu -cpu cortex-r5f -L / $dir/filter/rastertotavel")
    fi
done

# The ARM filters run side by side, each job's output compared with the
# x86-64 filter's (the working tree's, built by the script).
echo "=== arm-test: output of ${ARCHES[*]} compared with the x86-64 filter"
start=$SECONDS
bash "$ROOT/scripts/check-identical.sh" . "${filters[@]}"
report+=("comparison: $((SECONDS - start)) s")

echo "arm-test: passed for ${ARCHES[*]} in $SECONDS s"
printf '  %s\n' "${report[@]}"
