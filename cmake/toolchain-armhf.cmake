# Cross-build for 32-bit ARM (Debian armhf: ARMv7, hard float) with Debian's
# cross compilers and the multiarch libraries under /usr/lib/arm-linux-gnueabihf:
#   cmake -S . -B build-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
# Test programs run under qemu-user; see toolchain-arm64.cmake for "-L /".
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TAVEL_CROSS_TRIPLET arm-linux-gnueabihf)
set(TAVEL_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
