# Cross-build for 64-bit ARM (Debian arm64) with Debian's cross compilers and
# the multiarch libraries under /usr/lib/aarch64-linux-gnu:
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
# Test programs run under qemu-user. "-L /" makes qemu load the multiarch C
# library under /lib/aarch64-linux-gnu; the cross tool chain's own copy
# (/usr/aarch64-linux-gnu) hangs threaded programs at their first thread.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TAVEL_CROSS_TRIPLET aarch64-linux-gnu)
set(TAVEL_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
