#!/bin/bash
# extended-build-lends-nothing.sh BUILD_DIR armhf|amd64
#
# The extended build's objects (NEON on armhf, AVX2 on amd64; see
# workers/vector_build.h) may define functions that other files share:
# inline and template functions outside its own namespace, which the linker
# takes from any one object. None of those may hold an instruction of the
# extended set, or the baseline build could end up calling one on a
# processor without it. Fails, naming each such function, when one does.
set -euo pipefail

dir=$1
arch=$2
case $arch in
armhf)
    tools=arm-linux-gnueabihf-
    # NEON data-processing instructions name a q register or use an integer
    # or polynomial element type (.i8 ... .u64, .p8).
    extended='\bq[0-9]+\b|\.([isu](8|16|32|64)|p8)\b'
    ;;
amd64)
    tools=
    # AVX instructions are VEX-encoded, their mnemonics begin with v; AVX2
    # code may also name the 256-bit registers.
    extended='^v|%[yz]mm'
    ;;
*)
    echo "usage: $0 BUILD_DIR armhf|amd64" >&2
    exit 2
    ;;
esac

found=0
objects=0
while IFS= read -r object; do
    objects=$((objects + 1))
    while IFS= read -r symbol; do
        case $symbol in _ZN14extended_build*) continue ;; esac
        if "${tools}objdump" -d --no-show-raw-insn --disassemble="$symbol" "$object" |
            awk '/\t/ { sub(/^[^\t]*\t/, ""); print }' | grep -Eq "$extended"; then
            echo "$object lends $arch extended code to other files: $symbol" >&2
            found=1
        fi
    done < <("${tools}nm" --defined-only "$object" | awk '$2 ~ /^[TW]$/ { print $3 }')
done < <(find "$dir" -path '*_extended.dir/*.o')
if [ "$objects" -eq 0 ]; then
    echo "no objects of the extended build below $dir" >&2
    exit 1
fi
[ "$found" -eq 0 ] && echo "$objects objects of the extended build lend no $arch extended code"
exit "$found"
